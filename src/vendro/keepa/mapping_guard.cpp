#include "vendro/keepa/mapping_guard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "vendro/core/error.hpp"

namespace vendro::keepa::detail {

namespace {

// Read by the signal handler, so plain lock-free atomics in static storage, no allocation.
struct Slot {
  std::atomic<bool> used{false};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};

constexpr std::size_t SLOT_COUNT = 64;
std::array<Slot, SLOT_COUNT> slots;
std::uintptr_t page_size = 4096;
struct sigaction previous {};
std::once_flag installed;

void on_sigbus(int signal_number, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : slots) {
    if (address < slot.begin.load() || address >= slot.end.load()) continue;
    // mmap is a plain system call on the platforms we build for, safe in a handler in practice.
    void* page = reinterpret_cast<void*>(address & ~(page_size - 1));
    if (::mmap(page, page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
        MAP_FAILED) {
      break;
    }
    slot.faulted.store(true);
    return;  // the read is retried and finds zeros
  }
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    previous.sa_sigaction(signal_number, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
  } else {
    // Returning repeats the fault, which now meets the old disposition.
    ::sigaction(SIGBUS, &previous, nullptr);
  }
}

void install() {
  page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action {};
  action.sa_sigaction = on_sigbus;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, &previous);
}

}  // namespace

MappingGuard::MappingGuard(const char* begin, std::size_t length) : slot_(-1) {
  std::call_once(installed, install);
  for (std::size_t i = 0; i < SLOT_COUNT; ++i) {
    bool expected = false;
    if (!slots[i].used.compare_exchange_strong(expected, true)) continue;
    slot_ = static_cast<int>(i);
    slots[i].faulted.store(false);
    // The range matches nothing until both ends are in place: end is 0 until then.
    slots[i].begin.store(reinterpret_cast<std::uintptr_t>(begin));
    slots[i].end.store(reinterpret_cast<std::uintptr_t>(begin) + length);
    return;
  }
  throw FileError("同时映射的输入文件过多（最多 " + std::to_string(SLOT_COUNT) + " 个）");
}

MappingGuard::~MappingGuard() {
  Slot& slot = slots[static_cast<std::size_t>(slot_)];
  slot.end.store(0);
  slot.begin.store(0);
  slot.used.store(false);
}

bool MappingGuard::faulted() const {
  return slots[static_cast<std::size_t>(slot_)].faulted.load();
}

}  // namespace vendro::keepa::detail
