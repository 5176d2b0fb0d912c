#include "py/value.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "engine/panic.hpp"
#include "py/cached_hash.hpp"
#include "py/errors.hpp"
#include "py/name_cache.hpp"

namespace vorlane {

namespace {

// Sign-extended Python hash, or 0 when the object cannot be hashed (the
// error is discarded: unhashable values are valid attribute values).
int64_t python_hash(PyObject* obj) {
    Py_hash_t hash = py::checked_hash(obj);
    if (hash == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<int64_t>(hash);
}

[[noreturn]] void conversion_failed() {
    PyErr_Clear();
    panic(kUnwrapErr);
}

// Python's hash of None, read once while attached: a constant of the
// interpreter, which a key derived detached cannot ask for.
std::atomic<int64_t> none_hash{0};

ValueKey classify(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyLong_Type) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0 || (value == -1 && PyErr_Occurred()))
            conversion_failed();
        // The hash is not stored for an int (it follows from the value); the
        // rule that gives it must agree with the interpreter's.
        assert(int_hash(value) == python_hash(obj));
        return ValueKey::of_int(int_hash(value), value);
    }
    if (type == &PyFloat_Type) {
        double value = PyFloat_AS_DOUBLE(obj);
        assert(float_hash(obj, value) == python_hash(obj));
        return ValueKey::of_float(float_hash(obj, value), value);
    }
    if (type == &PyUnicode_Type) {
        // The text itself is not copied: the object is kept and its UTF-8
        // form is read when a debug text needs it. Encoding is checked now,
        // so a value that cannot be encoded never enters the module.
        if (PyUnicode_AsUTF8AndSize(obj, nullptr) == nullptr)
            conversion_failed();
        // Hashing a str caches its hash in the object, where `key` reads it.
        return ValueKey::of_other(python_hash(obj), NativeKind::Str);
    }
    int64_t hash = python_hash(obj);
    if (obj == Py_None)
        none_hash.store(hash, std::memory_order_relaxed);
    return ValueKey::of_other(hash, NativeKind::Unknown);
}

// Whether the key of `obj`, hashed at conversion to `hash`, follows from the
// object alone (see `PyValue`).
bool derivable(PyObject* obj, int64_t hash) {
    PyTypeObject* type = Py_TYPE(obj);
    return type == &PyLong_Type || type == &PyFloat_Type || type == &PyUnicode_Type ||
           type == &PyBool_Type || obj == Py_None || py::caches_hash(obj, hash);
}

// The value of an exact int that conversion found within 64 bits.
int64_t int_value(PyObject* obj) {
    auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(number))
        return PyUnstable_Long_CompactValue(number);
    int overflow = 0;
    return PyLong_AsLongLongAndOverflow(obj, &overflow);
}

// Accepts an exact int, float or str, whose key `PyValue::key` derives from
// the object each time it is read: only what can fail is checked here, and a
// str is hashed so that its hash is cached. Computing the key now would be
// thrown away (most objects are made, then indexed in bulk). False for any
// other object, which `classify` converts.
bool accept_derived(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyLong_Type) {
        if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj)))
            classify(obj);  // fails unless within 64 bits
        return true;
    }
    if (type == &PyFloat_Type)
        return true;
    if (type != &PyUnicode_Type)
        return false;
    // A compact ASCII str is its own UTF-8 form; another is encoded now, so
    // a str that cannot be encoded never enters the module.
    if (!PyUnicode_IS_COMPACT_ASCII(obj) && PyUnicode_AsUTF8AndSize(obj, nullptr) == nullptr)
        conversion_failed();
    if (PyValue::cached_str_hash(obj) == -1)
        python_hash(obj);
    return true;
}

}  // namespace

int64_t int_hash(int64_t value) {
    static_assert(sizeof(Py_hash_t) == 8, "the numeric hash rule below is that of 64-bit builds");
    constexpr uint64_t kModulus = (uint64_t{1} << 61) - 1;
    // Unsigned negation keeps INT64_MIN exact.
    uint64_t magnitude =
        value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    // The remainder by 2^61 - 1 without a division: as 2^61 leaves 1, the
    // top three bits add to the low 61, and one subtraction at most is left.
    uint64_t folded = (magnitude & kModulus) + (magnitude >> 61);
    int64_t hash = static_cast<int64_t>(folded >= kModulus ? folded - kModulus : folded);
    if (value < 0)
        hash = -hash;
    return hash == -1 ? -2 : hash;
}

int64_t float_hash(PyObject* obj, double value) {
    constexpr int kBits = 61;
    constexpr uint64_t kModulus = (uint64_t{1} << kBits) - 1;
    constexpr int64_t kInfinityHash = 314159;
    if (std::isnan(value))
        return Py_HashPointer(obj);
    if (std::isinf(value))
        return value > 0 ? kInfinityHash : -kInfinityHash;
    // A finite double is +-significand * 2^exponent, its significand an
    // integer below 2^53 and so below the modulus: reduced already. As
    // 2^61 = 1 modulo 2^61 - 1, the power of two is a rotation of the
    // significand's 61 bits by the exponent reduced modulo 61.
    constexpr int kFractionBits = 52;
    constexpr uint64_t kFractionMask = (uint64_t{1} << kFractionBits) - 1;
    constexpr int kExponentMask = 0x7ff;
    constexpr int kExponentBias = 1023 + kFractionBits;  // of the integer significand
    auto bits = std::bit_cast<uint64_t>(value);
    int biased = static_cast<int>(bits >> kFractionBits) & kExponentMask;
    uint64_t significand = bits & kFractionMask;
    if (biased != 0)
        significand |= uint64_t{1} << kFractionBits;  // a subnormal has no implicit bit
    int exponent = std::max(biased, 1) - kExponentBias;
    int shift = ((exponent % kBits) + kBits) % kBits;
    uint64_t hash = ((significand << shift) & kModulus) | significand >> (kBits - shift);
    bool negative = (bits >> (kFractionBits + 11)) != 0;
    int64_t signed_hash = negative ? -static_cast<int64_t>(hash) : static_cast<int64_t>(hash);
    return signed_hash == -1 ? -2 : signed_hash;
}

PyValue::PyValue(PyObject* obj, const ValueKey& key) : word_(reinterpret_cast<uintptr_t>(obj)) {
    if (!derivable(obj, key.hash))
        word_ = reinterpret_cast<uintptr_t>(new Boxed{obj, key.hash}) | kBoxedTag;
}

PyValue::PyValue(const PyValue& other) : word_(other.word_) {
    if (other.is_boxed())
        word_ = reinterpret_cast<uintptr_t>(new Boxed(*other.boxed())) | kBoxedTag;
    Py_INCREF(obj());
}

void PyValue::release() noexcept {
    if (word_ == 0)
        return;
    PyObject* object = obj();
    if (is_boxed())
        delete boxed();
    word_ = 0;
    py::checked_decref(object);
}

ValueKey PyValue::key() const {
    if (is_boxed())
        return ValueKey::of_other(boxed()->hash, NativeKind::Unknown);
    PyObject* object = obj();
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyLong_Type) {
        int64_t value = int_value(object);
        return ValueKey::of_int(int_hash(value), value);
    }
    if (type == &PyFloat_Type) {
        double value = PyFloat_AS_DOUBLE(object);
        return ValueKey::of_float(float_hash(object, value), value);
    }
    if (type == &PyUnicode_Type)
        return ValueKey::of_other(cached_str_hash(object), NativeKind::Str);
    if (type == &PyBool_Type)
        return ValueKey::of_other(object == Py_True ? 1 : 0, NativeKind::Unknown);
    if (py::is_cached_hash_type(object))
        return ValueKey::of_other(py::cached_hash(object), NativeKind::Unknown);
    return ValueKey::of_other(none_hash.load(std::memory_order_relaxed), NativeKind::Unknown);
}

PyValue PyValue::new_(PyObject* owned) {
    try {
        // A date, say, hashed already (rows share them) keeps its key itself.
        if (accept_derived(owned) || py::holds_cached_hash(owned))
            return PyValue(owned);
        ValueKey key = classify(owned);
        return PyValue(owned, key);
    } catch (...) {
        Py_DECREF(owned);
        throw;
    }
}

ValueKey PyValue::key_of(PyObject* borrowed) {
    // The common keyword values first: an ASCII str is encodable, and once
    // hashed keeps its hash; a small int is read in place.
    PyTypeObject* type = Py_TYPE(borrowed);
    if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(borrowed)) {
        if (int64_t hash = cached_str_hash(borrowed); hash != -1)
            return ValueKey::of_other(hash, NativeKind::Str);
    } else if (type == &PyLong_Type &&
               PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(borrowed))) {
        int64_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(borrowed));
        return ValueKey::of_int(int_hash(value), value);
    }
    return classify(borrowed);
}

PyValue PyValue::from_borrowed(PyObject* borrowed) {
    Py_INCREF(borrowed);
    return new_(borrowed);
}

std::optional<AttrName> attr_argument(PyObject* obj, const char* param) {
    return py::convert_argument(param, [&] {
        if (!PyUnicode_Check(obj))
            py::raise_conversion_error(obj, "PyString");
        return py::looked_up_name(obj);
    });
}

std::string debug_quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string debug_float(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "inf" : "-inf";
    char buf[64];
    double magnitude = std::fabs(value);
    // Plain decimal between 1e-4 and 1e16, scientific outside, as in `1e16`.
    bool plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
    auto result = std::to_chars(buf, buf + sizeof buf, value,
                                plain ? std::chars_format::fixed : std::chars_format::scientific);
    std::string text(buf, result.ptr);
    if (plain) {
        if (text.find('.') == std::string::npos)
            text += ".0";
        return text;
    }
    // "1.5e-05" -> "1.5e-5", "1e+16" -> "1e16"
    size_t e = text.find('e');
    std::string mantissa = text.substr(0, e);
    std::string exponent = text.substr(e + 1);
    bool negative = !exponent.empty() && exponent[0] == '-';
    size_t digits = exponent.find_first_not_of("+-0");
    return mantissa + "e" + (negative ? "-" : "") +
           (digits == std::string::npos ? "0" : exponent.substr(digits));
}

std::string native_debug(const PyValue& value) {
    ValueKey key = value.key();
    switch (key.kind) {
        case NativeKind::Int:
            return "Int(" + std::to_string(key.int_value) + ")";
        case NativeKind::Float:
            return "Float(" + debug_float(key.float_value) + ")";
        case NativeKind::Str: {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(value.obj(), &size);
            if (text == nullptr)
                throw py::ErrorAlreadySet{};
            return "Str(" + debug_quoted(std::string_view(text, size)) + ")";
        }
        case NativeKind::Unknown:
            break;
    }
    return "Unknown";
}

std::string PyValue::debug() const {
    char pointer[32];
    std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(obj()));
    return std::string("PyValue { obj: Py(") + pointer + "), primitave: " + native_debug(*this) +
           ", hash: " + std::to_string(hash()) + " }";
}

}  // namespace vorlane
