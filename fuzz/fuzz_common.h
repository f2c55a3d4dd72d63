// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Small helpers shared by the fuzz targets.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text/line_batch.h"
#include "reference/reference_rules.h"
#include "text/line_splitter.h"
#include "text/utf8.h"

namespace mf::fuzz {

// Stops the run with both sides shown, so a saved input reads on its own.
[[noreturn]] inline void mismatch(const char* what, std::string_view input, std::string_view got,
                                  std::string_view want) {
  auto show = [](const char* name, std::string_view s) {
    std::fprintf(stderr, "%s (%zu bytes): ", name, s.size());
    for (unsigned char c : s) {
      if (c >= 0x20 && c < 0x7F && c != '\\') {
        std::fputc(c, stderr);
      } else {
        std::fprintf(stderr, "\\x%02X", c);
      }
    }
    std::fputc('\n', stderr);
  };
  std::fprintf(stderr, "MISMATCH: %s\n", what);
  show("input", input);
  show("got  ", got);
  show("want ", want);
  std::abort();
}

inline void check(bool ok, const char* what, std::string_view input) {
  if (!ok) mismatch(what, input, {}, {});
}

// The lines the running program would hand to the main thread for `bytes`.
inline std::vector<std::string> splitLines(std::string_view bytes) {
  LineBatch batch;
  LineSplitter splitter;
  splitter.feed(bytes, batch);
  splitter.finish(batch);
  return reference::linesOf(batch);
}

// Picks the inputs that take a costly extra road (one in `every`). A hash of
// the whole input, not one of its bytes: the corpus keeps inputs that took
// the road (it has coverage of its own), and with a byte nearly all their
// mutants would take it again, until it is most of the run.
inline bool oneInput(const std::uint8_t* data, std::size_t size, std::uint32_t every, unsigned salt = 0) {
  std::uint32_t hash = 2166136261u ^ salt;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  return hash % every == 0;
}

// Reads the fuzz input front to back: small numbers and length-prefixed
// pieces, the rest as one tail.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // A piece of at most `max` bytes, its length taken from the input.
  std::string_view piece(std::size_t max) {
    const std::size_t want = byte() % (max + 1);
    const std::size_t n = std::min(want, size_ - std::min(at_, size_));
    std::string_view s(reinterpret_cast<const char*>(data_) + at_, n);
    at_ += n;
    return s;
  }
  std::string_view rest() {
    if (at_ >= size_) return {};
    std::string_view s(reinterpret_cast<const char*>(data_) + at_, size_ - at_);
    at_ = size_;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace mf::fuzz

#include <unicode/ustring.h>

namespace mf::fuzz {

// Any bytes as valid UTF-8: each maximal invalid subpart becomes U+FFFD, as
// text typed or pasted into a field would arrive.
inline std::string toValidUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  std::u16string wide(bytes.size() + 1, u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(wide.data()), static_cast<int32_t>(wide.size()), &length,
                       bytes.data(), static_cast<int32_t>(bytes.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) std::abort();
  std::string out(static_cast<std::size_t>(length) * 3, '\0');
  int32_t outLength = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, reinterpret_cast<const UChar*>(wide.data()),
              length, &status);
  if (U_FAILURE(status)) std::abort();
  out.resize(static_cast<std::size_t>(outLength));
  return out;
}

}  // namespace mf::fuzz

#include <memory>

namespace mf::fuzz {

// A copy in a heap block of exactly its size, so that AddressSanitizer sees
// a read one byte past the end (a std::string has slack behind its text).
class ExactCopy {
 public:
  explicit ExactCopy(std::string_view s) : data_(new char[s.size() + (s.empty() ? 1 : 0)]), size_(s.size()) {
    std::copy(s.begin(), s.end(), data_.get());
  }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

}  // namespace mf::fuzz
