#include "py/value.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "engine/panic.hpp"
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
        return ValueKey::of_float(python_hash(obj), PyFloat_AS_DOUBLE(obj));
    }
    if (type == &PyUnicode_Type) {
        // The text itself is not copied: the object is kept and its UTF-8
        // form is read when a debug text needs it. Encoding is checked now,
        // so a value that cannot be encoded never enters the module.
        if (PyUnicode_AsUTF8AndSize(obj, nullptr) == nullptr)
            conversion_failed();
        return ValueKey::of_other(python_hash(obj), NativeKind::Str);
    }
    return ValueKey::of_other(python_hash(obj), NativeKind::Unknown);
}

}  // namespace

int64_t int_hash(int64_t value) {
    static_assert(sizeof(Py_hash_t) == 8, "the numeric hash rule below is that of 64-bit builds");
    constexpr uint64_t kModulus = (uint64_t{1} << 61) - 1;
    // Unsigned negation keeps INT64_MIN exact.
    uint64_t magnitude =
        value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    int64_t hash = static_cast<int64_t>(magnitude % kModulus);
    if (value < 0)
        hash = -hash;
    return hash == -1 ? -2 : hash;
}

PyValue::PyValue(PyObject* obj, const ValueKey& key)
    : obj_(obj), word_(key.kind == NativeKind::Int ? key.int_value : key.hash) {}

ValueKey PyValue::key() const {
    NativeKind kind = kind_of(obj_);
    switch (kind) {
        case NativeKind::Int:
            return ValueKey::of_int(int_hash(word_), word_);
        case NativeKind::Float:
            return ValueKey::of_float(word_, PyFloat_AS_DOUBLE(obj_));
        default:
            return ValueKey::of_other(word_, kind);
    }
}

PyValue PyValue::new_(PyObject* owned) {
    try {
        ValueKey key = classify(owned);
        return PyValue(owned, key);
    } catch (...) {
        Py_DECREF(owned);
        throw;
    }
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
    out += "\"";
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
    std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(obj_));
    return std::string("PyValue { obj: Py(") + pointer + "), primitave: " + native_debug(*this) +
           ", hash: " + std::to_string(hash()) + " }";
}

}  // namespace vorlane
