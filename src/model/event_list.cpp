// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/event_list.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

#include "text/search_fold.h"

namespace mf {

namespace {

// 48 bytes: the id and time first for alignment, then where the text lives.
// The folded message, when there is one, follows the message in the same block.
struct Record {
  Uuid id;
  double time;
  std::uint32_t block;
  std::uint32_t offset;
  std::uint32_t messageLength;
  std::uint32_t foldedLength;
  std::uint16_t source;
  EventType type;
  bool isRoutineNoise;
  LineOrigin origin;
};
static_assert(sizeof(Record) <= 48, "an event record should stay within 48 bytes");
static_assert(std::is_aggregate_v<Record> && std::is_trivially_destructible_v<Record>,
              "records live in raw memory without a constructing or destroying pass");

// Storage grows in pieces that double from small up to one huge page (2 MiB
// on x86-64), and the huge-page-sized pieces are placed on a huge-page
// boundary with the kernel asked to back each with one huge page. A million
// events fill about 170 MB; faulted in 4 KiB at a time that is some 40,000
// page faults, which under a hypervisor can cost more than classifying and
// storing the lines themselves. A small list (a short session) still takes
// only small pieces.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kFirstBlockBytes = std::size_t{64} << 10;

struct Release {
  std::size_t mappedBytes = 0;  // 0: the bytes came from operator new[]
  void operator()(char* bytes) const noexcept {
    if (mappedBytes != 0) {
      ::munmap(bytes, mappedBytes);
    } else {
      delete[] bytes;
    }
  }
};
using Bytes = std::unique_ptr<char[], Release>;

Bytes allocateBytes(std::size_t size) {
#if defined(MADV_HUGEPAGE)
  if (size == kHugePage) {
    // Map twice the size and keep the aligned huge page in the middle.
    void* raw = ::mmap(nullptr, 2 * kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw != MAP_FAILED) {
      const auto base = reinterpret_cast<std::uintptr_t>(raw);
      const auto aligned = (base + kHugePage - 1) & ~(kHugePage - 1);
      if (aligned > base) ::munmap(raw, aligned - base);
      const auto end = base + 2 * kHugePage;
      if (end > aligned + kHugePage) ::munmap(reinterpret_cast<void*>(aligned + kHugePage), end - aligned - kHugePage);
      // Advice only: where huge pages are off or unavailable the kernel uses
      // small ones, which is what plain memory would have had.
      ::madvise(reinterpret_cast<void*>(aligned), kHugePage, MADV_HUGEPAGE);
      return Bytes(reinterpret_cast<char*>(aligned), Release{kHugePage});
    }
  }
#endif
  return Bytes(new char[size], Release{});
}

struct TextBlock {
  Bytes data;
  std::size_t capacity = 0;
  std::size_t used = 0;
};

// Records: a first chunk of 4096, then chunks of one huge page each.
constexpr std::size_t kFirstChunkRecords = 4096;
constexpr std::size_t kChunkRecords = kHugePage / sizeof(Record);

}  // namespace

// Records in fixed chunks and text in fixed blocks, so nothing ever moves: an
// EventView handed out stays valid while the storage lives, and several lists
// can share one storage, each seeing its own prefix of it.
class EventStorage {
 public:
  std::size_t size() const { return size_; }

  const Record& record(std::size_t index) const { return *recordsFrom(index).first; }

  // Views of [first, first + out.size()), walking each chunk's records in
  // order instead of locating every index on its own.
  void views(std::size_t first, std::span<EventView> out) const {
    std::size_t i = first;
    std::size_t k = 0;
    while (k < out.size()) {
      const auto [records, inChunk] = recordsFrom(i);
      const std::size_t n = std::min(inChunk, out.size() - k);
      for (std::size_t j = 0; j < n; ++j) out[k + j] = viewOf(records[j]);
      k += n;
      i += n;
    }
  }

  EventView view(std::size_t index) const { return viewOf(record(index)); }

  // The largest size at which a list sharing this storage was copied: the
  // records below it may be seen by another list and must never change.
  std::size_t frozen = 0;

  // Merges the records added from `firstNew` on among the earlier ones,
  // which are in order of time, stably: a new record goes after every
  // earlier one of the same time. Only the new records are copied out; the
  // earlier ones that a new one passes move up in runs, once each.
  // `placedAt[k]` is set to where the record added at firstNew + k ends up.
  void mergeNew(std::size_t firstNew, std::vector<std::size_t>& placedAt) {
    const std::size_t count = size_ - firstNew;
    buffer_.resize(count);
    copyRecords(firstNew, buffer_.data(), count, true);
    order_.resize(count);
    for (std::size_t k = 0; k < count; ++k) order_[k] = k;
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t a, std::size_t b) { return buffer_[a].time < buffer_[b].time; });
    placedAt.assign(count, 0);
    std::size_t oldEnd = firstNew;  // the earlier records not moved yet end here
    std::size_t write = size_;      // from here on every record is in its place
    for (std::size_t m = count; m-- > 0;) {
      const Record& r = buffer_[order_[m]];
      const std::size_t low = firstAfter(r.time, oldEnd);
      const std::size_t later = oldEnd - low;
      moveUp(low, write - later, later);
      write -= later + 1;
      oldEnd = low;
      recordAt(write) = r;
      placedAt[order_[m]] = write;
    }
    if (buffer_.capacity() > kFirstChunkRecords) {
      buffer_ = {};  // a rare large batch keeps no memory
      order_ = {};
    }
  }

  EventView viewOf(const Record& r) const {
    const char* text = blocks_[r.block].data.get() + r.offset;
    return EventView{&r.id,
                     r.time,
                     r.type,
                     sourceViews_[r.source],
                     std::string_view(text, r.messageLength),
                     r.isRoutineNoise,
                     std::string_view(text + r.messageLength, r.foldedLength),
                     r.origin};
  }

  void append(const Uuid& id, double time, EventType type, std::string_view source,
              std::string_view message, bool isRoutineNoise, LineOrigin origin) {
    std::string folded;
    if (!isAscii(message)) folded = foldForSearch(message);
    appendFolded(id, time, type, source, message, folded, isRoutineNoise, origin);
  }

  // For copies of stored events, whose fold is known already.
  void appendView(const EventView& v) {
    appendFolded(*v.id, v.time, v.type, v.source, v.message, v.foldedMessage, v.isRoutineNoise, v.origin);
  }

  void appendFolded(const Uuid& id, double time, EventType type, std::string_view source,
                    std::string_view message, std::string_view folded, bool isRoutineNoise, LineOrigin origin) {
    constexpr std::size_t kMaxLength = std::numeric_limits<std::uint32_t>::max();
    if (message.size() > kMaxLength) throw std::length_error("event message longer than 4 GiB");
    if (folded.size() > kMaxLength) throw std::length_error("folded event message longer than 4 GiB");

    const std::uint16_t sourceIndex = intern(source);
    const auto [block, offset] = placeText(message, folded);

    if (size_ == recordCapacity()) {
      const std::size_t count = chunks_.empty() ? kFirstChunkRecords : kChunkRecords;
      // No constructing pass: a record is an aggregate (its lifetime begins
      // with the memory) and is written in full before it is read, and
      // touching a whole huge-page chunk ahead of time would fault it in page
      // by page where huge pages are off.
      chunks_.push_back(allocateBytes(chunks_.empty() ? count * sizeof(Record) : kHugePage));
    }
    Record& r = recordAt(size_);
    r.id = id;
    r.time = time;
    r.block = block;
    r.offset = offset;
    r.messageLength = static_cast<std::uint32_t>(message.size());
    r.foldedLength = static_cast<std::uint32_t>(folded.size());
    r.source = sourceIndex;
    r.type = type;
    r.isRoutineNoise = isRoutineNoise;
    r.origin = origin;
    ++size_;
  }

  std::size_t bytes() const {
    std::size_t total = sizeof(*this) + recordCapacity() * sizeof(Record) + chunks_.capacity() * sizeof(chunks_[0]) +
                        blocks_.capacity() * sizeof(TextBlock);
    for (const auto& block : blocks_) total += block.capacity;
    // The string object itself plus its heap text.
    for (const auto& source : sources_) total += sizeof(source) + source.capacity();  // NOLINT(bugprone-sizeof-container)
    total += sourceViews_.capacity() * sizeof(std::string_view);
    return total;
  }

 private:
  // The record at `index` and how many records its chunk holds from there on.
  std::pair<const Record*, std::size_t> recordsFrom(std::size_t index) const {
    if (index < kFirstChunkRecords) {
      return {reinterpret_cast<const Record*>(chunks_[0].get()) + index, kFirstChunkRecords - index};
    }
    const std::size_t rest = index - kFirstChunkRecords;
    return {reinterpret_cast<const Record*>(chunks_[1 + rest / kChunkRecords].get()) + rest % kChunkRecords,
            kChunkRecords - rest % kChunkRecords};
  }

  std::size_t recordCapacity() const {
    return chunks_.empty() ? 0 : kFirstChunkRecords + (chunks_.size() - 1) * kChunkRecords;
  }

  Record& recordAt(std::size_t index) { return const_cast<Record&>(record(index)); }

 public:
  // The first of the records [0, end), which are in order of time, whose
  // time is after `time` (`end` when none is). A late line belongs near the
  // end, so the search goes back from there in doubling steps, then halves.
  std::size_t firstAfter(double time, std::size_t end) const {
    std::size_t high = end;
    std::size_t low = end;
    for (std::size_t step = 1; low > 0 && record(low - 1).time > time; step *= 2) {
      high = low;
      low = low > step ? low - step : 0;
    }
    while (low < high) {
      const std::size_t mid = low + (high - low) / 2;
      if (record(mid).time > time) {
        high = mid;
      } else {
        low = mid + 1;
      }
    }
    return low;
  }

 private:
  // Where `index` lies within its chunk.
  static std::size_t offsetInChunk(std::size_t index) {
    return index < kFirstChunkRecords ? index : (index - kFirstChunkRecords) % kChunkRecords;
  }

  // Moves `count` records from `from` to `to` (not below `from`), from the
  // last one back, in runs that stay within one chunk on both sides.
  void moveUp(std::size_t from, std::size_t to, std::size_t count) {
    if (from == to) return;
    while (count > 0) {
      const std::size_t n = std::min({count, offsetInChunk(from + count - 1) + 1, offsetInChunk(to + count - 1) + 1});
      std::memmove(static_cast<void*>(&recordAt(to + count - n)), &recordAt(from + count - n), n * sizeof(Record));
      count -= n;
    }
  }

  // Copies `count` records from index `first` into `out`, or from `out` back
  // to them, a chunk's run at a time.
  void copyRecords(std::size_t first, Record* out, std::size_t count, bool fromStorage) {
    for (std::size_t done = 0; done < count;) {
      const auto [records, inChunk] = recordsFrom(first + done);
      const std::size_t n = std::min(inChunk, count - done);
      auto* stored = const_cast<Record*>(records);
      if (fromStorage) {
        std::memcpy(static_cast<void*>(out + done), stored, n * sizeof(Record));
      } else {
        std::memcpy(static_cast<void*>(stored), out + done, n * sizeof(Record));
      }
      done += n;
    }
  }

  std::uint16_t intern(std::string_view source) {
    // The last source is by far the likeliest: a batch of log lines mostly
    // shares one tag.
    if (!sources_.empty() && sources_[lastSource_] == source) return lastSource_;
    // Real traces use a handful of tags: a short scan beats hashing them.
    if (sources_.size() <= 16) {
      for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (sources_[i] == source) {
          lastSource_ = static_cast<std::uint16_t>(i);
          return lastSource_;
        }
      }
    } else if (auto found = sourceIndex_.find(source); found != sourceIndex_.end()) {
      lastSource_ = found->second;
      return lastSource_;
    }
    // Tags are a handful of fixed words; a free-text flood past 65535 distinct
    // tags is refused rather than silently mislabelled.
    if (sources_.size() > std::numeric_limits<std::uint16_t>::max()) {
      throw std::length_error("too many distinct event sources");
    }
    // A deque never moves its elements, so views into earlier tags survive.
    sources_.emplace_back(source);
    sourceViews_.push_back(sources_.back());
    lastSource_ = static_cast<std::uint16_t>(sources_.size() - 1);
    sourceIndex_.emplace(sources_.back(), lastSource_);
    return lastSource_;
  }

  std::pair<std::uint32_t, std::uint32_t> placeText(std::string_view message, std::string_view folded) {
    const std::size_t needed = message.size() + folded.size();
    TextBlock* target = nullptr;
    std::uint32_t index = 0;
    if (needed > kHugePage) {
      // Too big for a shared block: it gets one of its own, and the current
      // shared block stays open for the following messages.
      blocks_.push_back(TextBlock{allocateBytes(needed), needed, 0});
      index = static_cast<std::uint32_t>(blocks_.size() - 1);
      target = &blocks_.back();
    } else {
      if (currentBlock_ < 0 || blocks_[currentBlock_].capacity - blocks_[currentBlock_].used < needed) {
        // Each shared block doubles the previous one, up to a huge page.
        std::size_t size = currentBlock_ < 0 ? kFirstBlockBytes : 2 * blocks_[currentBlock_].capacity;
        while (size < needed) size *= 2;
        size = std::min(size, kHugePage);
        blocks_.push_back(TextBlock{allocateBytes(size), size, 0});
        currentBlock_ = static_cast<std::ptrdiff_t>(blocks_.size() - 1);
      }
      index = static_cast<std::uint32_t>(currentBlock_);
      target = &blocks_[currentBlock_];
    }
    const std::size_t offset = target->used;
    if (!message.empty()) std::memcpy(target->data.get() + offset, message.data(), message.size());
    if (!folded.empty()) std::memcpy(target->data.get() + offset + message.size(), folded.data(), folded.size());
    target->used += needed;
    return {index, static_cast<std::uint32_t>(offset)};
  }

  std::size_t size_ = 0;
  std::vector<Bytes> chunks_;  // records; the vector may grow, the records never move
  std::vector<TextBlock> blocks_;  // the vector may grow; the blocks' bytes never move
  std::ptrdiff_t currentBlock_ = -1;
  std::deque<std::string> sources_;
  std::vector<std::string_view> sourceViews_;  // of sources_, for a lookup without the deque's arithmetic
  struct SourceHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_map<std::string, std::uint16_t, SourceHash, std::equal_to<>> sourceIndex_;
  std::uint16_t lastSource_ = 0;
  std::vector<Record> buffer_;  // for mergeNew
  std::vector<std::size_t> order_;
};

MarrowfieldEvent EventView::toEvent() const {
  return MarrowfieldEvent{*id, time, type, std::string(source), std::string(message), isRoutineNoise, origin};
}

EventList::EventList() : storage_(std::make_shared<EventStorage>()) {}
// A copy may see every record up to its size; those are frozen for all.
EventList::EventList(const EventList& other) : storage_(other.storage_), size_(other.size_) {
  if (storage_) storage_->frozen = std::max(storage_->frozen, size_);
}

EventList& EventList::operator=(const EventList& other) {
  if (this != &other) {
    storage_ = other.storage_;
    size_ = other.size_;
    if (storage_) storage_->frozen = std::max(storage_->frozen, size_);
  }
  return *this;
}

// A moved-from list must stay usable (and empty), so it gets fresh storage.
EventList::EventList(EventList&& other) noexcept
    : storage_(std::move(other.storage_)), size_(std::exchange(other.size_, 0)) {}

EventList& EventList::operator=(EventList&& other) noexcept {
  if (this != &other) {
    storage_ = std::move(other.storage_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

EventList::~EventList() = default;

EventView EventList::operator[](std::size_t index) const { return storage_->view(index); }

std::size_t EventList::views(std::size_t first, std::span<EventView> out) const {
  if (first >= size_) return 0;
  const std::size_t n = std::min(out.size(), size_ - first);
  storage_->views(first, out.first(n));
  return n;
}

MarrowfieldEvent EventList::at(std::size_t index) const {
  if (index >= size_) throw std::out_of_range("EventList::at");
  return storage_->view(index).toEvent();
}

void EventList::append(const MarrowfieldEvent& event) {
  append(event.id, event.time, event.type, event.source, event.message, event.isRoutineNoise, event.origin);
}

void EventList::append(const Uuid& id, double time, EventType type, std::string_view source,
                       std::string_view message, bool isRoutineNoise, LineOrigin origin) {
  if (!storage_) storage_ = std::make_shared<EventStorage>();
  if (storage_->size() != size_) {
    // Another list sharing this storage has already grown past our end: the
    // records after it are not ours, so take a private copy of our prefix.
    auto own = std::make_shared<EventStorage>();
    for (std::size_t i = 0; i < size_; ++i) own->appendView(storage_->view(i));
    storage_ = std::move(own);
  }
  // Either we are the only holder, or every other holder ends at or before our
  // end and therefore never sees what we add here.
  storage_->append(id, time, type, source, message, isRoutineNoise, origin);
  ++size_;
}

std::size_t EventList::placeByTime(std::size_t firstNew, std::vector<std::size_t>* placedAt) {
  if (placedAt) placedAt->clear();
  if (firstNew >= size_) return size_;
  // Nothing to do in the usual case: the new events are in order and none
  // is earlier than the last event before them.
  bool inOrder = true;
  double earliest = storage_->record(firstNew).time;
  for (std::size_t i = firstNew; i < size_; ++i) {
    const double time = storage_->record(i).time;
    if (i > 0 && storage_->record(i - 1).time > time) inOrder = false;
    earliest = std::min(earliest, time);
  }
  if (inOrder) return size_;
  if (storage_.use_count() > 1 && storage_->firstAfter(earliest, firstNew) < storage_->frozen) {
    // Another list may see records that are about to move: take a private
    // copy first. (A recorded session shares the live list's storage; a
    // line that arrives after the recording is the rare case this is.)
    auto own = std::make_shared<EventStorage>();
    for (std::size_t i = 0; i < size_; ++i) own->appendView(storage_->view(i));
    storage_ = std::move(own);
  }
  std::vector<std::size_t> own;
  std::vector<std::size_t>& placed = placedAt ? *placedAt : own;
  storage_->mergeNew(firstNew, placed);
  // Events before the first moved one are as they were: the earlier events
  // up to where the first new one went, and new ones that stayed in place.
  std::size_t first = size_;
  for (std::size_t k = 0; k < placed.size(); ++k) {
    if (placed[k] != firstNew + k) first = std::min(first, placed[k]);
  }
  return first;
}

void EventList::clear() {
  storage_ = std::make_shared<EventStorage>();
  size_ = 0;
}

std::optional<std::size_t> EventList::indexOf(const Uuid& id) const {
  for (std::size_t i = 0; i < size_; ++i) {
    if (storage_->record(i).id == id) return i;
  }
  return std::nullopt;
}

std::vector<MarrowfieldEvent> EventList::toVector() const {
  std::vector<MarrowfieldEvent> out;
  out.reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) out.push_back(storage_->view(i).toEvent());
  return out;
}

EventList EventList::fromVector(const std::vector<MarrowfieldEvent>& events) {
  EventList list;
  for (const auto& event : events) list.append(event);
  return list;
}

std::size_t EventList::storageBytes() const { return storage_ ? storage_->bytes() : 0; }

}  // namespace mf
