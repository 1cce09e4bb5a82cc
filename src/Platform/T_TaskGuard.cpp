// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_TaskGuard.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include "Platform/CodeLocation.h"
#include "Platform/TaskFloatingPoint.h"

// The handler and the frames between the guard's sigsetjmp and task code
// carry no AddressSanitizer instrumentation: a jump leaves their stack
// frames behind, and poisoned red zones there (or on the alternate stack,
// where the kernel writes the next signal frame) would be reported later.
#define KELVRA_NO_ASAN __attribute__((no_sanitize_address))

namespace {

// SIGABRT is task code's own abort(): a failed assert, std::terminate.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr const char* kUnknownError = "Unknown error";

// One guarded call in progress on this thread, in the frame of Call.
struct TFrame {
  sigjmp_buf Env;
  TFrame* Previous;  // the enclosing guarded call, or null
  bool WasArmed;     // the thread's state before this call
  void (*Target)(void*);
  void* Context;
  // The stack pointer of the frame that calls task code (RunTask), when it
  // told: a backtrace ends at that frame, so it holds task frames only.
  uintptr_t volatile TaskStack;
};

// What the handler saw, turned into text after the jump: the signal's
// information, the interrupted registers and the return addresses of the
// interrupted thread's frames, innermost (the faulting instruction) first.
struct TFault {
  int Signal;
  int Code;
  void* Address;
  pid_t Sender;  // for a signal sent by a process (si_code <= 0)
#if defined(__x86_64__)
  greg_t Registers[NGREG];
#endif
  uintptr_t Frames[TTaskGuard::kMaxFrames];
  int FrameCount;
};

// The thread's guard state: plain data in static TLS (initial-exec: the
// handler must never be the first to reach a lazily made TLS block; this
// unit is linked into the executable), written by the thread itself and read
// by the handler interrupting that same thread, so no other thread ever
// touches it; volatile keeps the handler's view exact.
struct TThreadState {
  TFrame* volatile Innermost;
  volatile sig_atomic_t Armed;
  TFault Fault;
  bool Prepared;
  // Set while the handler walks the faulting thread's stack: a fault there
  // (a corrupt stack) jumps back to it and ends the walk.
  sigjmp_buf* volatile Walking;
};

__attribute__((tls_model("initial-exec"))) thread_local TThreadState ThisThread{};

// The alternate stack PrepareThread made for this thread, if it made one;
// unmapped when the thread ends, unless something replaced it meanwhile.
class TAltStack {
 public:
  TAltStack() = default;
  TAltStack(const TAltStack&) = delete;
  TAltStack& operator=(const TAltStack&) = delete;
  ~TAltStack() {
    if (Mapping == nullptr) return;
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0 || current.ss_sp != Stack()) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    if (::sigaltstack(&off, nullptr) == 0) ::munmap(Mapping, MappingSize);
  }

  // Maps a stack with an inaccessible guard page below it and installs it.
  TStatus Install() {
    size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size_t size = page + TTaskGuard::kAltStackSize;
    void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return TStatus::FromErrno(errno, "Unable to map a signal stack");
    stack_t mine{};
    mine.ss_sp = static_cast<char*>(mapping) + page;
    mine.ss_size = TTaskGuard::kAltStackSize;
    if (::mprotect(mapping, page, PROT_NONE) != 0 || ::sigaltstack(&mine, nullptr) != 0) {
      int error = errno;
      ::munmap(mapping, size);
      return TStatus::FromErrno(error, "Unable to set a signal stack");
    }
    Mapping = mapping;
    MappingSize = size;
    Guard = page;
    return {};
  }

 private:
  void* Stack() const { return static_cast<char*>(Mapping) + Guard; }

  void* Mapping = nullptr;
  size_t MappingSize = 0;
  size_t Guard = 0;
};

thread_local TAltStack OwnAltStack;

// True when the signal is task code's own failure. A SIGABRT counts only
// when this process raised it (abort() sends it to its own thread): one sent
// by another process asks the whole process to end, wherever it lands.
// Set by MakeAbortFatal: then an abort is never caught.
std::atomic<bool> AbortIsFatal{false};
// Set by NotifyCaughtFaults.
std::atomic<void (*)(int)> FaultCaught{nullptr};

KELVRA_NO_ASAN bool RaisedByTaskCode(int number, const siginfo_t* info) {
  if (number != SIGABRT) return true;
  return !AbortIsFatal.load(std::memory_order_relaxed) && info->si_code <= 0 && info->si_pid == ::getpid();
}

// The walk's escape: sigsetjmp and siglongjmp. ThreadSanitizer keeps a list
// of each thread's jump buffers and drops, at every new one, those whose
// stack pointer lies below it; a buffer made on the alternate stack (which
// may lie above the thread's stack) would drop the guarded call's own. Under
// it the escape uses the C library's functions directly, unseen; the jump
// back to the guarded call, seen, then restores its view of the thread.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KELVRA_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define KELVRA_TSAN 1
#endif
#if defined(KELVRA_TSAN)
using TSetJump = int (*)(sigjmp_buf, int);
using TLongJump = void (*)(sigjmp_buf, int);
TSetJump EscapeSetJump = nullptr;
TLongJump EscapeLongJump = nullptr;
TStatus FindEscape() {
  EscapeSetJump = reinterpret_cast<TSetJump>(::dlsym(RTLD_NEXT, "__sigsetjmp"));
  EscapeLongJump = reinterpret_cast<TLongJump>(::dlsym(RTLD_NEXT, "siglongjmp"));
  if (EscapeSetJump == nullptr || EscapeLongJump == nullptr)
    return TStatus::Failure("", "Unable to find the C library's sigsetjmp");
  return {};
}
#define KELVRA_ESCAPE_SETJUMP(buffer) EscapeSetJump(buffer, 1)
#define KELVRA_ESCAPE_LONGJUMP(buffer) EscapeLongJump(buffer, 1)
#else
TStatus FindEscape() { return {}; }
#define KELVRA_ESCAPE_SETJUMP(buffer) sigsetjmp(buffer, 1)
#define KELVRA_ESCAPE_LONGJUMP(buffer) siglongjmp(buffer, 1)
#endif

// Keeps the registers of the interrupted context and walks its stack with
// the unwinder, from the signal frame, storing return addresses only
// (names are looked up after the jump). The walk reads the task's stack,
// which may be corrupt: the fault signals are unblocked during it, and a
// fault it raises lands in OnFault again (one more frame on the alternate
// stack), which jumps back here; the frames found so far stay. The
// unwinder's cache is off (InstallHandlers), so such a jump leaves no lock
// of it held. At least the faulting instruction is always recorded.
KELVRA_NO_ASAN __attribute__((noinline)) void RecordContext(TThreadState& state, ucontext_t& context,
                                                             uintptr_t taskStack) {
  TFault& fault = state.Fault;
  fault.FrameCount = 0;
#if defined(__x86_64__)
  for (int index = 0; index < NGREG; ++index) fault.Registers[index] = context.uc_mcontext.gregs[index];
  fault.Frames[0] = static_cast<uintptr_t>(context.uc_mcontext.gregs[REG_RIP]);
  fault.FrameCount = 1;
#endif
  sigjmp_buf escape;
  if (KELVRA_ESCAPE_SETJUMP(escape) == 0) {
    state.Walking = &escape;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    sigset_t faults;
    sigemptyset(&faults);
    for (int number : kFaultSignals) sigaddset(&faults, number);
    ::pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
    unw_cursor_t cursor;
    if (unw_init_local2(&cursor, reinterpret_cast<unw_context_t*>(&context), UNW_INIT_SIGNAL_FRAME) == 0) {
      unw_word_t first = 0;
      if (fault.FrameCount == 0 && unw_get_reg(&cursor, UNW_REG_IP, &first) == 0 && first != 0) {
        fault.Frames[0] = first;
        fault.FrameCount = 1;
      }
      while (fault.FrameCount < TTaskGuard::kMaxFrames && unw_step(&cursor) > 0) {
        unw_word_t ip = 0;
        unw_word_t sp = 0;
        if (unw_get_reg(&cursor, UNW_REG_IP, &ip) != 0 || ip == 0) break;
        if (unw_get_reg(&cursor, UNW_REG_SP, &sp) != 0 || (taskStack != 0 && sp >= taskStack)) break;
        fault.Frames[fault.FrameCount] = ip;
        fault.FrameCount = fault.FrameCount + 1;
      }
    }
  }
  // Back from a fault of the walk too: sigsetjmp restored the handler's mask.
  state.Walking = nullptr;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace

void TTaskGuard::MakeAbortFatal() noexcept { AbortIsFatal.store(true, std::memory_order_relaxed); }

void TTaskGuard::NotifyCaughtFaults(void (*caught)(int signal)) noexcept {
  FaultCaught.store(caught, std::memory_order_relaxed);
}

namespace {

// Runs on the faulting thread's alternate stack. In a guarded call: records
// the fault and jumps back to the call's sigsetjmp, which restores the
// signal mask. Anywhere else (the agent's own code, a disarmed slot, a thread
// that never calls task code): puts the default action back and raises the
// signal again, so the process ends as it would without the guard.
// Async-signal-safe: no allocation, no lock, thread-local plain data only.
// What a jump cannot mend is the task's own: a lock it held (the global lock,
// or a C library lock when it faulted inside the C library) stays held. The
// C library's abort() holds none of its own when it raises SIGABRT and
// starts over at the next call; but an abort of the C library's heap checks
// may leave the heap's lock held, and the next allocation there then waits
// (a process that serves one session makes every abort fatal for that).
KELVRA_NO_ASAN void OnFault(int number, siginfo_t* info, void* context) {
  TThreadState& state = ThisThread;
  if (state.Walking != nullptr) KELVRA_ESCAPE_LONGJUMP(*state.Walking);
  TFrame* frame = state.Innermost;
  if (frame != nullptr && state.Armed != 0 && RaisedByTaskCode(number, info)) {
    state.Armed = 0;
    state.Fault.Signal = number;
    state.Fault.Code = info->si_code;
    state.Fault.Address = info->si_addr;
    state.Fault.Sender = info->si_code <= 0 ? info->si_pid : 0;
    RecordContext(state, *static_cast<ucontext_t*>(context), frame->TaskStack);
    siglongjmp(frame->Env, 1);
  }
  int saved = errno;
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(number, &fallback, nullptr);
  ::raise(number);  // delivered when the handler returns and unblocks it
  errno = saved;
}

// Installs OnFault for every fault signal and checks that it is in force.
// A sanitizer runtime installs its handlers at start-up, before this runs,
// and with its default options lets these replace them; told to own a
// signal (handle_segv=2) it silently keeps its own, which the check refuses.
TStatus InstallHandlers() {
  if (TStatus found = FindEscape(); !found) return found;
  unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_NONE);
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int number : kFaultSignals) sigaddset(&action.sa_mask, number);
  for (int number : kFaultSignals) {
    struct sigaction current {};
    if (::sigaction(number, &action, nullptr) != 0 || ::sigaction(number, nullptr, &current) != 0 ||
        (current.sa_flags & SA_SIGINFO) == 0 || current.sa_sigaction != OnFault)
      return TStatus::Failure("", "Unable to install the task fault handler for signal " + std::to_string(number));
  }
  return {};
}

// InstallHandlers, once in the process; a thread that finds it failed
// tries again.
TStatus InstallHandlersOnce() {
  static std::mutex lock;
  static bool installed = false;
  std::lock_guard<std::mutex> guard(lock);
  if (installed) return {};
  TStatus status = InstallHandlers();
  installed = status.Ok();
  return status;
}

// The text of a fault. Every text the guard produces is listed here:
//   SIGSEGV  "Access violation (SIGSEGV) at address 0x0000000000000000"
//   SIGBUS   "Bus error (SIGBUS) at address 0x..."       (the data address)
//   SIGILL   "Illegal instruction (SIGILL) at address 0x..." (the instruction)
//   SIGFPE   "Integer division by zero (SIGFPE)", "Integer overflow (SIGFPE)",
//            "Floating-point division by zero (SIGFPE)", "Floating-point
//            overflow (SIGFPE)", "Floating-point underflow (SIGFPE)",
//            "Floating-point inexact result (SIGFPE)", "Floating-point
//            invalid operation (SIGFPE)", "Subscript out of range (SIGFPE)",
//            else "Arithmetic fault (SIGFPE)"
//   SIGABRT  "Aborted (SIGABRT)"   (abort() in task code: assert, terminate)
//   a fault signal sent by a process rather than raised by the processor:
//            "Access violation (SIGSEGV) sent by process 1234" (and the same
//            first words for the others)
// Addresses have 16 upper-case hexadecimal digits. Each text but those of a
// sent signal then goes on with its place (PlaceText): "Access violation
// (SIGSEGV) at address 0x0000000000000000 in libsim.so+0x1a2f
// (Integrate+0x3f)".
std::string FaultText(const TFault& fault) {
  const char* what = "Arithmetic fault (SIGFPE)";
  bool withAddress = true;
  switch (fault.Signal) {
    case SIGABRT:
      return "Aborted (SIGABRT)";
    case SIGSEGV:
      what = "Access violation (SIGSEGV)";
      break;
    case SIGBUS:
      what = "Bus error (SIGBUS)";
      break;
    case SIGILL:
      what = "Illegal instruction (SIGILL)";
      break;
    default:
      withAddress = false;
      if (fault.Code <= 0) break;
      switch (fault.Code) {
        case FPE_INTDIV: what = "Integer division by zero (SIGFPE)"; break;
        case FPE_INTOVF: what = "Integer overflow (SIGFPE)"; break;
        case FPE_FLTDIV: what = "Floating-point division by zero (SIGFPE)"; break;
        case FPE_FLTOVF: what = "Floating-point overflow (SIGFPE)"; break;
        case FPE_FLTUND: what = "Floating-point underflow (SIGFPE)"; break;
        case FPE_FLTRES: what = "Floating-point inexact result (SIGFPE)"; break;
        case FPE_FLTINV: what = "Floating-point invalid operation (SIGFPE)"; break;
        case FPE_FLTSUB: what = "Subscript out of range (SIGFPE)"; break;
        default: break;
      }
  }
  char text[128];
  if (fault.Code <= 0)
    std::snprintf(text, sizeof text, "%s sent by process %ld", what, static_cast<long>(fault.Sender));
  else if (withAddress)
    std::snprintf(text, sizeof text, "%s at address 0x%016" PRIXPTR, what, reinterpret_cast<uintptr_t>(fault.Address));
  else
    std::snprintf(text, sizeof text, "%s", what);
  return text;
}

// Where task code faulted, as FaultText's continuation: " in
// libsim.so+0x1a2f (Integrate+0x3f)". For an abort, the innermost frame
// neither in the module that raised the signal (the C library) nor in a
// function named abort (a sanitizer's stand-in): the task's call of
// abort(). Empty for a signal sent by a process, or without frames.
std::string PlaceText(const TFault& fault) {
  if (fault.FrameCount <= 0 || (fault.Code <= 0 && fault.Signal != SIGABRT)) return "";
  int index = 0;
  TCodeLocation place = LocateCode(fault.Frames[0]);
  if (fault.Signal == SIGABRT) {
    for (int caller = 1; caller < fault.FrameCount; ++caller) {
      TCodeLocation location = LocateCode(fault.Frames[caller], fault.Frames[caller] - 1);
      if (location.ModulePath != place.ModulePath && location.Function != "abort") {
        index = caller;
        place = location;
        break;
      }
    }
  }
  return " in " + DescribeCode(place, fault.Frames[index]);
}

#if defined(__x86_64__)
// The names of the general registers, in the order of mcontext_t's gregs.
constexpr const char* kRegisterNames[NGREG] = {"r8",  "r9",  "r10", "r11", "r12",    "r13", "r14",    "r15",
                                               "rdi", "rsi", "rbp", "rbx", "rdx",    "rax", "rcx",    "rsp",
                                               "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};
#endif

TTaskGuard::TFaultRecord RecordOf(const TFault& fault) {
  TTaskGuard::TFaultRecord record;
  record.Signal = fault.Signal;
  record.Code = fault.Code;
  record.Address = reinterpret_cast<uintptr_t>(fault.Address);
#if defined(__x86_64__)
  for (int index = 0; index < NGREG; ++index)
    record.Registers.emplace_back(kRegisterNames[index], static_cast<uint64_t>(fault.Registers[index]));
#endif
  record.Frames.assign(fault.Frames, fault.Frames + std::max(fault.FrameCount, 0));
  return record;
}

// The record of this thread's last guarded call when a fault ended it.
thread_local std::optional<TTaskGuard::TFaultRecord> LastRecord;

// Stores `text` as the failure; without memory for it, a short text that
// fits the string's own storage still fails the call.
void SetFailure(TStatus& failure, const char* text) noexcept {
  try {
    failure = TStatus::Failure("", text != nullptr ? text : "");
  } catch (...) {
    failure = TStatus::Failure("", "Out of memory");
  }
}

// The frame right above task code: an exception it throws stops here. The
// catch runs disarmed (a fault inside it cannot jump out of a catch).
KELVRA_NO_ASAN __attribute__((noinline)) void CallCatching(void (*target)(void*), void* context,
                                                            TStatus* failure) noexcept {
  try {
    target(context);
  } catch (const std::exception& error) {
    ThisThread.Armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    SetFailure(*failure, error.what());
  } catch (...) {
    ThisThread.Armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    SetFailure(*failure, kUnknownError);
  }
}

struct TTaskCall {
  TTaskGuard::TTaskProcedure Procedure;
  IAgent* Agent;
  void* Session;
  IGenericStream* In;
  IGenericStream* Out;
  uint32_t Result;
};

// Tells the innermost guarded call where the caller of task code keeps its
// stack pointer (constant after the prologue), so that a backtrace stops
// before the agent's own frames.
KELVRA_NO_ASAN __attribute__((always_inline)) inline void MarkTaskStack() {
#if defined(__x86_64__)
  uintptr_t pointer = 0;
  asm volatile("mov %%rsp, %0" : "=r"(pointer));
  if (TFrame* frame = ThisThread.Innermost; frame != nullptr) frame->TaskStack = pointer;
#endif
}

KELVRA_NO_ASAN void RunTask(void* context) {
  MarkTaskStack();
  auto* call = static_cast<TTaskCall*>(context);
  call->Result = call->Procedure(call->Agent, call->Session, call->In, call->Out);
}

struct TEndSessionCall {
  TTaskGuard::TEndSessionProcedure Procedure;
  IAgent* Agent;
  void* Session;
};

KELVRA_NO_ASAN void RunEndSession(void* context) {
  MarkTaskStack();
  auto* call = static_cast<TEndSessionCall*>(context);
  call->Procedure(call->Agent, call->Session);
}

}  // namespace

TStatus TTaskGuard::PrepareThread() {
  TThreadState& state = ThisThread;
  if (state.Prepared) return {};
  if (TStatus installed = InstallHandlersOnce(); !installed) return installed;
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0) return TStatus::FromErrno(errno, "Unable to read the signal stack");
  if ((current.ss_flags & SS_DISABLE) != 0 || current.ss_size < kMinimumAltStack)
    if (TStatus made = OwnAltStack.Install(); !made) return made;
  sigset_t faults;
  sigemptyset(&faults);
  for (int number : kFaultSignals) sigaddset(&faults, number);
  ::pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
  LoadTaskFloatingPoint();
  state.Prepared = true;
  return {};
}

TStatus TTaskGuard::Call(void (*call)(void*), void* context) noexcept {
  TStatus failure;
  LastRecord.reset();
  TThreadState& state = ThisThread;
  if (!state.Prepared)
    if (TStatus prepared = PrepareThread(); !prepared) return prepared;
  // Everything the jump's landing reads lives in `frame`, in memory, written
  // before sigsetjmp and not changed after it.
  TFrame frame;
  frame.Previous = state.Innermost;
  frame.WasArmed = state.Armed != 0;
  frame.Target = call;
  frame.Context = context;
  frame.TaskStack = 0;
  if (sigsetjmp(frame.Env, 1) == 0) {
    state.Innermost = &frame;
    state.Armed = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    CallCatching(frame.Target, frame.Context, &failure);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    state.Armed = frame.WasArmed ? 1 : 0;
    state.Innermost = frame.Previous;
    return failure;
  }
  // Back from the handler: the signal mask is restored, but the
  // floating-point state is the one the kernel starts a handler with (x87
  // control word 0x037F), as the jump skipped the handler's return.
  TThreadState& landed = ThisThread;
  landed.Innermost = frame.Previous;
  landed.Armed = frame.WasArmed ? 1 : 0;
  LoadTaskFloatingPoint();
  if (void (*caught)(int) = FaultCaught.load(std::memory_order_relaxed)) caught(landed.Fault.Signal);
  try {
    failure = TStatus::Failure("", FaultText(landed.Fault) + PlaceText(landed.Fault));
    LastRecord = RecordOf(landed.Fault);
  } catch (...) {
    SetFailure(failure, "Out of memory");
  }
  return failure;
}

TStatus TTaskGuard::CallTask(TTaskProcedure procedure, IAgent* agent, void* session, IGenericStream* in,
                             IGenericStream* out, uint32_t& result) noexcept {
  TTaskCall call{procedure, agent, session, in, out, 0};
  TStatus failure = Call(RunTask, &call);
  if (failure.Ok()) result = call.Result;
  return failure;
}

TStatus TTaskGuard::CallEndSession(TEndSessionProcedure procedure, IAgent* agent, void* session) noexcept {
  TEndSessionCall call{procedure, agent, session};
  return Call(RunEndSession, &call);
}

std::optional<TTaskGuard::TFaultRecord> TTaskGuard::LastFault() noexcept {
  try {
    return LastRecord;
  } catch (...) {
    return std::nullopt;
  }
}

bool TTaskGuard::Armed() noexcept { return ThisThread.Innermost != nullptr && ThisThread.Armed != 0; }

TTaskGuard::TDisarm::TDisarm() noexcept : WasArmed(ThisThread.Armed != 0) {
  ThisThread.Armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

TTaskGuard::TDisarm::~TDisarm() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  ThisThread.Armed = WasArmed ? 1 : 0;
}
