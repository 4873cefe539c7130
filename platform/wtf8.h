// WTF-8: UTF-8 that also encodes a lone UTF-16 surrogate, as the code point it
// is. Windows names are UTF-16 and may hold a surrogate without its partner;
// the tool carries every name it takes from Windows as WTF-8, so that each
// comes through whole and turns back into the same UTF-16. Plain functions,
// for any 16-bit code unit type (wchar_t on Windows, char16_t in tests).
#pragma once

#include <cstddef>
#include <string_view>

namespace zibel::platform::wtf8 {

// Encodes `units` UTF-16 units into `into`, which must hold 3 bytes for each
// unit; returns the bytes written. A surrogate pair becomes the one code point
// it stands for, a lone surrogate the code point of its own value.
template <typename Unit>
std::size_t from_utf16(const Unit* text, std::size_t units, char* into) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < units; ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      into[length++] = static_cast<char>(c);
    } else if (c < 0x800) {
      into[length++] = static_cast<char>(0xC0 | c >> 6);
      into[length++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      into[length++] = static_cast<char>(0xE0 | c >> 12);
      into[length++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      into[length++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      into[length++] = static_cast<char>(0xF0 | c >> 18);
      into[length++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      into[length++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      into[length++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return length;
}

// Decodes WTF-8 into NUL-terminated UTF-16 in `into`, of `capacity` units;
// `units` is the count without the NUL. False for bytes that are not WTF-8
// (an overlong form, a stray continuation byte, a code point past U+10FFFF), or
// when `capacity` units do not hold the text.
template <typename Unit>
bool to_utf16(std::string_view text, Unit* into, std::size_t capacity, std::size_t& units) {
  static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t c = lead;
    if (lead >= 0xF0 && lead < 0xF5) {
      extra = 3;
      c = lead & 0x07u;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      extra = 2;
      c = lead & 0x0Fu;
    } else if (lead >= 0xC2 && lead < 0xE0) {
      extra = 1;
      c = lead & 0x1Fu;
    } else if (lead >= 0x80) {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3Fu);
    }
    if (c < kLeast[extra] || c > 0x10FFFF) return false;
    i += extra + 1;
    if (units + (c >= 0x10000 ? 2 : 1) >= capacity) return false;
    if (c >= 0x10000) {
      into[units++] = static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10));
      into[units++] = static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      into[units++] = static_cast<Unit>(c);
    }
  }
  into[units] = Unit{0};
  return true;
}

// How many UTF-16 units a WTF-8 text takes: one for each character, two for
// one past U+FFFF (a four-byte sequence).
inline std::size_t utf16_units(std::string_view text) {
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

}  // namespace zibel::platform::wtf8
