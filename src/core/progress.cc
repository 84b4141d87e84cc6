#include "core/progress.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "platform/fixed_text.h"

namespace vorn::core {

namespace {

constexpr const char* STAGE_NAMES[] = {"idle", "check", "install", "verify", "setup"};
static_assert(std::size(STAGE_NAMES) == static_cast<size_t>(Stage::SETUP) + 1);

constexpr size_t ALIAS_WORDS = 2;  // 15 characters and a NUL, in two 64-bit words
constexpr int READ_TRIES = 1000;

// A sequence lock: the writer makes the count odd while it changes the record, so that a reader
// that saw the same even count before and after read one record. Every field is atomic, so a
// reader racing the writer reads stale values, never torn ones. The fields are stored with
// release and loaded with acquire (rather than fenced, which the thread sanitizer cannot
// follow): a reader that sees a field's new value then sees the odd count that came before it.
std::atomic<uint32_t> g_sequence{0};
std::atomic<uint32_t> g_stage{0};
std::atomic<int> g_position{0};
std::atomic<int> g_count{0};
std::array<std::atomic<uint64_t>, ALIAS_WORDS> g_alias{};
std::atomic<int64_t> g_total{0};
std::atomic<int64_t> g_done{0};

struct Record {
  Stage stage;
  int position;
  int count;
  std::array<char, ALIAS_WORDS * sizeof(uint64_t)> alias;
  int64_t total;
  int64_t done;
};

Record read_record() {
  constexpr auto ACQUIRE = std::memory_order_acquire;
  Record r{};
  for (int i = 0; i < READ_TRIES; ++i) {
    const uint32_t before = g_sequence.load(ACQUIRE);
    r.stage = static_cast<Stage>(g_stage.load(ACQUIRE));
    r.position = g_position.load(ACQUIRE);
    r.count = g_count.load(ACQUIRE);
    for (size_t w = 0; w < ALIAS_WORDS; ++w) {
      const uint64_t word = g_alias[w].load(ACQUIRE);
      std::memcpy(r.alias.data() + w * sizeof word, &word, sizeof word);
    }
    r.total = g_total.load(ACQUIRE);
    r.done = g_done.load(ACQUIRE);
    if ((before & 1) == 0 && g_sequence.load(std::memory_order_relaxed) == before) break;
  }
  r.alias.back() = '\0';
  if (static_cast<uint32_t>(r.stage) >= std::size(STAGE_NAMES)) r.stage = Stage::IDLE;
  return r;
}

}  // namespace

const char* stage_name(Stage stage) {
  const auto i = static_cast<size_t>(stage);
  return i < std::size(STAGE_NAMES) ? STAGE_NAMES[i] : STAGE_NAMES[0];
}

void progress_begin(Stage stage, int position, int count, std::string_view alias, int64_t total) {
  std::array<char, ALIAS_WORDS * sizeof(uint64_t)> text{};
  // The line is split at blanks: an alias from an image header must not add a word.
  std::transform(alias.begin(), alias.begin() + std::min(alias.size(), text.size() - 1),
                 text.begin(), [](char c) { return c > ' ' && c < '\x7f' ? c : '?'; });
  constexpr auto RELEASE = std::memory_order_release;
  const uint32_t sequence = g_sequence.load(std::memory_order_relaxed);
  g_sequence.store(sequence + 1, std::memory_order_relaxed);
  g_stage.store(static_cast<uint32_t>(stage), RELEASE);
  g_position.store(position, RELEASE);
  g_count.store(count, RELEASE);
  for (size_t w = 0; w < ALIAS_WORDS; ++w) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + w * sizeof word, sizeof word);
    g_alias[w].store(word, RELEASE);
  }
  g_total.store(total, RELEASE);
  g_done.store(0, RELEASE);
  g_sequence.store(sequence + 2, RELEASE);
}

void progress_stage(Stage stage, int64_t total) {
  const Record r = read_record();
  progress_begin(stage, r.position, r.count, r.alias.data(), total);
}

void progress_bytes(int64_t done) { g_done.store(done, std::memory_order_relaxed); }

void progress_idle() { progress_begin(Stage::IDLE, 0, 0, {}, 0); }

std::string_view progress_line(std::span<char> out) {
  const Record r = read_record();
  platform::format_text(out, "%s %d/%d %s %lld/%lld", stage_name(r.stage), r.position, r.count,
                        r.alias[0] != '\0' ? r.alias.data() : "-", static_cast<long long>(r.done),
                        static_cast<long long>(r.total));
  return platform::slot_text(out);
}

}  // namespace vorn::core
