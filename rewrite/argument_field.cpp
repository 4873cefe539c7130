#include "rewrite/argument_field.h"

#include <cstring>

namespace zibel {

bool ArgumentField::assign(const char* text, std::size_t max_length) {
  length_ = 0;
  text_[0] = '\0';
  const std::size_t limit = max_length < kMaxLength ? max_length : kMaxLength;
  // Looks at no more than limit + 1 bytes, whatever the length of `text`.
  const std::size_t length = ::strnlen(text, limit + 1);
  if (length > limit) return false;
  std::memcpy(text_, text, length + 1);
  length_ = length;
  return true;
}

bool ArgumentField::append(std::string_view text) {
  if (text.size() > kMaxLength - length_) return false;
  std::memcpy(text_ + length_, text.data(), text.size());
  length_ += text.size();
  text_[length_] = '\0';
  return true;
}

}  // namespace zibel
