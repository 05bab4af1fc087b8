// The one writer of the attention file: lock, read, append, prune, replace.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <functional>

#include "kestrune/attention/attention.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/base/mapped_file.h"

namespace kestrune::attention {

LockTimeout::LockTimeout(const std::string& lock_file)
    : std::runtime_error("another writer held " + lock_file + " for " + std::to_string(LOCK_WAIT_MS / 1000) +
                         " s; nothing recorded") {}

namespace {

std::string action_text(const NewAction& a, int64_t now) {
  json::Object payload;
  payload.append("file", a.file);
  payload.append("tool", a.tool);
  payload.append("session", a.session);
  json::Object o;
  o.append("kind", a.kind);
  o.append("payload", std::move(payload));
  o.append("ts", static_cast<long long>(now));
  return json::dumps(o);
}

// The file's text, handed to `put` piece by piece: `layout`'s members as
// written (a new file starts with its version), its recent actions and then
// the added ones, one per line, the oldest beyond MAX_ACTIONS left out.
// Returns the number of actions written.
template <typename Put>
size_t render(const Layout* layout, const std::vector<std::string>& added, int64_t now, Put&& put) {
  const int64_t cutoff = now < INT64_MIN + MAX_AGE_SECONDS ? INT64_MIN : now - MAX_AGE_SECONDS;
  auto recent = [&](const Layout::Entry& e) { return e.ts >= cutoff; };
  const size_t old =
      layout ? static_cast<size_t>(std::count_if(layout->entries.begin(), layout->entries.end(), recent)) : 0;
  const size_t total = old + added.size();
  size_t skip = total > MAX_ACTIONS ? total - MAX_ACTIONS : 0;  // the oldest first
  const size_t written = total - skip;

  auto put_list = [&] {
    if (written == 0) {
      put("[]");
      return;
    }
    put("[\n");
    bool first = true;
    auto item = [&](std::string_view text) {
      if (skip > 0) {
        --skip;
        return;
      }
      if (!first) put(",\n");
      first = false;
      put(text);
    };
    if (layout != nullptr)
      for (const Layout::Entry& e : layout->entries)
        if (recent(e)) item(layout->view(e.text));
    for (const std::string& a : added) item(a);
    put("\n]");
  };

  put("{");
  if (layout == nullptr) {
    put("\"version\": 1, \"actions\": ");
    put_list();
  } else {
    for (size_t i = 0; i < layout->members.size(); ++i) {
      if (i != 0) put(", ");
      put(layout->view(layout->members[i].name));
      put(": ");
      if (layout->actions == i)
        put_list();
      else
        put(layout->view(layout->members[i].value));
    }
    if (!layout->actions) {
      if (!layout->members.empty()) put(", ");
      put("\"actions\": ");
      put_list();
    }
  }
  put("}");
  return written;
}

std::vector<std::string> action_texts(std::span<const NewAction> actions, int64_t now) {
  std::vector<std::string> texts;
  texts.reserve(actions.size());
  for (const NewAction& a : actions) texts.push_back(action_text(a, now));
  return texts;
}

// Waits for the exclusive lock on `fd`, at most LOCK_WAIT_MS: a writer that
// hangs must not hang every hook after it.
void lock(int fd, const std::string& name) {
  timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  long pause_us = 100;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
    if (errno != EWOULDBLOCK && errno != EINTR) throw fs::OsError(errno, name);
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long waited_ms = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (waited_ms >= LOCK_WAIT_MS) throw LockTimeout(name);
    timespec pause{0, pause_us * 1000};
    ::nanosleep(&pause, nullptr);
    pause_us = std::min(pause_us * 2, 2000L);
  }
}

// Renames the malformed `file` to the first free of ".bad", ".bad.1" ...
// ".bad.9" (the last one is replaced once all are taken); returns the name.
std::string move_aside(const std::string& file) {
  std::string to;
  for (int n = 0; n < 10; ++n) {
    to = file;  // piecewise: GCC 12 warns falsely (-Wrestrict) on the concatenation
    to += ".bad";
    if (n != 0) to += '.' + std::to_string(n);
    struct stat st;
    if (::lstat(to.c_str(), &st) != 0 && errno == ENOENT) break;
  }
  if (::rename(file.c_str(), to.c_str()) != 0) throw fs::OsError(errno, file);
  return to;
}

}  // namespace

std::optional<std::string> updated(std::optional<std::string_view> existing, std::span<const NewAction> actions,
                                   int64_t now) {
  const std::vector<std::string> added = action_texts(actions, now);
  std::optional<Layout> layout;
  if (existing && !(layout = read_layout(*existing))) return std::nullopt;
  std::string out;
  render(layout ? &*layout : nullptr, added, now, [&](std::string_view piece) { out += piece; });
  return out;
}

Recorded record(const std::string& file, std::span<const NewAction> actions, int64_t now) {
  const std::string dir = fs::dirname(file);
  if (!dir.empty()) fs::makedirs(dir);
  const std::string lock_file = file + ".lock";
  fs::UniqueFd fd(::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
  if (!fd) throw fs::OsError(errno, lock_file);
  lock(fd.get(), lock_file);  // released when fd closes

  // Mapped rather than read: no copy, no page of our own to fault in, for a
  // file that is read whole on every tool call.
  Recorded r;
  const fs::MappedFile mapped(file, 0);
  std::optional<std::string> bytes;
  if (mapped.data() == nullptr) bytes = fs::read_bytes_if_file(file);  // empty, missing, or an error to report
  std::optional<Layout> layout;
  if (mapped.data() != nullptr || bytes) {
    layout = read_layout(mapped.data() != nullptr ? mapped.text() : std::string_view(*bytes));
    if (!layout) r.moved_aside = move_aside(file);
  }
  // Written straight from the old file's pages where the new text runs on as
  // it did there (a piece that repeats the bytes after the one before it
  // extends that one): most of the file goes to the kernel in one piece, with
  // no copy of our own.
  const std::vector<std::string> added = action_texts(actions, now);
  const std::string_view old_text = layout ? layout->text : std::string_view{};
  std::vector<std::string_view> pieces;
  r.actions = render(layout ? &*layout : nullptr, added, now, [&](std::string_view piece) {
    if (!pieces.empty()) {
      std::string_view& last = pieces.back();
      const char* next = last.data() + last.size();
      // Compared only within the old text: `next` may be its end, never read past.
      const std::less_equal<const char*> before_or_at;
      if (next == piece.data() ||
          (before_or_at(old_text.data(), next) && before_or_at(next, old_text.data() + old_text.size()) &&
           old_text.substr(static_cast<size_t>(next - old_text.data()), piece.size()) == piece)) {
        last = std::string_view(last.data(), last.size() + piece.size());
        return;
      }
    }
    pieces.push_back(piece);
  });
  fs::AtomicWriter out(file);
  out.write(pieces);
  // Rewritten after every tool call, and only a day's record: the cheap swap.
  out.commit(fs::AtomicWriter::Commit::cheap);
  return r;
}

std::vector<Record> load_records(const std::string& file, int64_t now) {
  std::optional<std::string> bytes = fs::read_bytes_if_file(file);
  if (!bytes) return {};
  std::optional<std::vector<Action>> actions = parse_actions(*bytes);
  if (!actions) throw std::runtime_error(file + " is not an attention record the edit guard can read");
  return tally(*actions, now);
}

std::vector<Record> at_risk(std::vector<Record> records) {
  std::erase_if(records, [](const Record& r) { return !(r.score >= THRESHOLD); });
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.score > b.score; });
  return records;
}

}  // namespace kestrune::attention
