// The fixed-size text fields that hold everything a run is given.
#pragma once

#include <cstddef>
#include <string_view>

namespace zibel {

// A NUL-terminated byte string in fixed storage of kArgumentFieldSize bytes.
class ArgumentField {
 public:
  static constexpr std::size_t kArgumentFieldSize = 2048;
  static constexpr std::size_t kMaxLength = kArgumentFieldSize - 1;

  // Copies `text` with its terminating NUL. Refuses (leaving the field empty) a
  // text longer than `max_length` bytes.
  bool assign(const char* text, std::size_t max_length = kMaxLength);

  // Appends `text`; refuses (leaving the field unchanged) when it does not fit.
  bool append(std::string_view text);

  const char* c_str() const { return text_; }
  std::string_view view() const { return {text_, length_}; }
  bool empty() const { return length_ == 0; }

 private:
  char text_[kArgumentFieldSize] = {};
  std::size_t length_ = 0;
};

// The suffix that turns a target path into its temporary path.
inline constexpr std::string_view kTemporarySuffix = ".tmp";

// The longest target path: its temporary path must fit a field as well.
inline constexpr std::size_t kMaxTargetPathLength =
    ArgumentField::kMaxLength - kTemporarySuffix.size();

// The four argument fields of one run.
struct Request {
  ArgumentField target_path;
  ArgumentField old_string;
  ArgumentField new_string;
  ArgumentField temporary_path;  // filled when the temporary file is made
};

}  // namespace zibel
