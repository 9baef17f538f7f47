#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>

// g++ 12 has no <format>: messages are built by concatenation. Integers print in decimal, floats in
// the shortest form that reads back to the same value, texts as they are.

namespace sorvel {

namespace str_cat_detail {

inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }

template <class T>
  requires(std::integral<T> && !std::same_as<T, char> && !std::same_as<T, bool>)
void append(std::string& out, T value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

template <class T>
  requires std::floating_point<T>
void append(std::string& out, T value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

}  // namespace str_cat_detail

template <class... Args>
std::string str_cat(const Args&... args) {
  std::string out;
  (str_cat_detail::append(out, args), ...);
  return out;
}

}  // namespace sorvel
