#include "engine/kept_mappings.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <new>

namespace vorlane {

void* KeptMappings::take_or_map(size_t size) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = std::find_if(mappings_.begin(), mappings_.end(),
                                  [&](const Mapping& mapping) { return mapping.second == size; });
        if (found != mappings_.end()) {
            void* memory = found->first;
            *found = mappings_.back();
            mappings_.pop_back();
            bytes_ -= size;
            return memory;
        }
    }
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    return memory;
}

bool KeptMappings::keep(void* memory, size_t size) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes_ + size > max_bytes_)
        return false;
    try {
        mappings_.emplace_back(memory, size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    bytes_ += size;
    return true;
}

std::vector<KeptMappings::Mapping> KeptMappings::release_all() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_ = 0;
    return std::exchange(mappings_, {});
}

size_t KeptMappings::bytes() const noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

void unmap(void* memory, size_t size) noexcept {
    munmap(memory, size);
}

}  // namespace vorlane
