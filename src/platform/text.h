// Small freestanding string helpers (the UEFI build has no C library).
#pragma once

#include <cstddef>
#include <cstdint>

namespace text {

size_t length(const char* s);
size_t lengthWithin(const char* s, size_t limit);  // like strnlen
bool equal(const char* a, const char* b);
bool startsWith(const char* s, const char* prefix);
// Copies at most capacity - 1 characters and always terminates.
void copy(char* destination, size_t capacity, const char* source);
// First occurrence of needle in the first haystackLength bytes of haystack
// (the haystack need not be terminated); nullptr when absent.
const char* find(const char* haystack, size_t haystackLength, const char* needle);
void fill(void* destination, uint8_t value, size_t count);
void copyBytes(void* destination, const void* source, size_t count);

}  // namespace text
