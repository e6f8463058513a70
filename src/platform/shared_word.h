// A 64-bit word kept in a small file and mapped into every process that opens the file:
// what one process changes with an atomic operation the others see at once. A process that
// dies leaves only the number behind.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class SharedWord {
 public:
  // Opens (creating it, mode 0600, never through a link) and maps the file at path; null
  // with why when it cannot, or when it is not a plain file of this user's.
  static std::unique_ptr<SharedWord> open(const std::string& path, std::string* why = nullptr);
  ~SharedWord();
  SharedWord(const SharedWord&) = delete;
  SharedWord& operator=(const SharedWord&) = delete;

  std::int64_t* word() const { return m_word; }

 private:
  explicit SharedWord(std::int64_t* word) : m_word(word) {}
  std::int64_t* m_word;
};

// Other processes see the word change only when its operations take no lock of this one's.
static_assert(std::atomic_ref<std::int64_t>::is_always_lock_free);
