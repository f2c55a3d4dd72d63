#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mf {

// The lines cut from one chunk of log-stream output: the unit handed to the
// main thread. One flat buffer instead of a string per line, because a
// chatty stream brings a million lines and the reader should not allocate
// per line.
class LineBatch {
 public:
  void add(std::string_view line) {
    text_.append(line);
    ends_.push_back(text_.size());
  }
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](std::size_t index) const {
    const std::size_t begin = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(text_).substr(begin, ends_[index] - begin);
  }
  void clear() {
    text_.clear();
    ends_.clear();
  }
  std::size_t byteSize() const { return text_.size(); }

  static LineBatch of(std::initializer_list<std::string_view> lines) {
    LineBatch batch;
    for (auto line : lines) batch.add(line);
    return batch;
  }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;
};

}  // namespace mf
