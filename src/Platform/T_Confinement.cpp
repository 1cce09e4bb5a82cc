// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_Confinement.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <utility>

#include "Platform/PosixCalls.h"

// What the system's linux/landlock.h may not have yet: the truncate and
// device-ioctl rights, the TCP rights and the scopes. The system calls go by
// number.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif
#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#endif
#ifndef __NR_landlock_add_rule
#define __NR_landlock_add_rule 445
#endif
#ifndef __NR_landlock_restrict_self
#define __NR_landlock_restrict_self 446
#endif

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

constexpr const char* kSystemFolders[] = {"/usr",  "/lib", "/lib32", "/lib64", "/libx32", "/bin",
                                          "/sbin", "/etc", "/opt",   "/proc",  "/sys"};
constexpr const char* kSystemDevices[] = {"/dev/null",   "/dev/zero",    "/dev/full",
                                          "/dev/random", "/dev/urandom", "/dev/tty"};

// ---- Landlock ----

// The ruleset attribute as ABI 6 has it. A kernel of an older ABI takes it
// too, as long as the fields it does not know are zero.
struct TLandlockRuleset {
  uint64_t HandledAccessFs = 0;
  uint64_t HandledAccessNet = 0;
  uint64_t Scoped = 0;
};

// A network rule (ABI 4): connections to one TCP port.
struct TLandlockNetPort {
  uint64_t AllowedAccess = 0;
  uint64_t Port = 0;
};
constexpr int kLandlockRuleNetPort = 2;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr uint64_t kReadRights =
    LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_EXECUTE;
constexpr uint64_t kDeviceRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE;
constexpr uint64_t kDropRights = LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                                 LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                                 LANDLOCK_ACCESS_FS_TRUNCATE;
// The rights that apply to a file; the kernel refuses the others on one.
constexpr uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                 LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                 LANDLOCK_ACCESS_FS_IOCTL_DEV;

// Every file-system right Landlock ABI `abi` knows.
uint64_t FileSystemRights(int abi) {
  uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
  if (abi >= 5) rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
  return rights;
}

// The running kernel's Landlock ABI; 0 when it has none, with `missing`
// saying why.
int LandlockAbi(std::string& missing) {
  const long abi = ::syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi > 0) return static_cast<int>(abi);
  const int error = errno;
  if (error == ENOSYS)
    missing = "kernel without it";
  else if (error == EOPNOTSUPP)
    missing = "not enabled in this kernel";
  else
    missing = ErrnoText(error);
  return 0;
}

// "Landlock ABI 7 (files, network, signals)": what a ruleset of ABI `abi`
// covers, TCP only when `network` is confined.
std::string LandlockText(int abi, bool network) {
  std::string text = "Landlock ABI " + std::to_string(abi) + " (files";
  if (abi >= 4 && network) text += ", network";
  if (abi >= 6) text += ", signals";
  return text + ")";
}

// Grants `rights` beneath `path`, only those that apply to a file when it is
// not a folder. A path that does not exist or cannot be reached is skipped:
// the process could not use it anyway.
TStatus AllowBeneath(int ruleset, const std::string& path, uint64_t rights) {
  TFileDescriptor beneath(RetryOnInterrupt([&] { return ::open(path.c_str(), O_PATH | O_CLOEXEC); }));
  if (!beneath.Valid()) {
    if (errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == ELOOP) return {};
    return TStatus::FromErrno(errno, "cannot open " + path);
  }
  struct stat info {};
  if (::fstat(beneath.Get(), &info) != 0) return TStatus::FromErrno(errno, "cannot examine " + path);
  if (!S_ISDIR(info.st_mode)) rights &= kFileRights;
  if (rights == 0) return {};
  landlock_path_beneath_attr rule{};
  rule.allowed_access = rights;
  rule.parent_fd = beneath.Get();
  if (::syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
    return TStatus::FromErrno(errno, "cannot allow " + path);
  return {};
}

TStatus ApplyLandlock(int abi, const TConfinementRules& rules) {
  TLandlockRuleset attributes;
  attributes.HandledAccessFs = FileSystemRights(abi);
  if (abi >= 4 && !rules.AllowNetwork)
    attributes.HandledAccessNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
  if (abi >= 6) attributes.Scoped = LANDLOCK_SCOPE_SIGNAL | LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
  TFileDescriptor ruleset(static_cast<int>(::syscall(__NR_landlock_create_ruleset, &attributes, sizeof attributes, 0)));
  if (!ruleset.Valid()) return TStatus::FromErrno(errno, "cannot create the Landlock ruleset");

  const uint64_t all = attributes.HandledAccessFs;
  auto allowEach = [&](const auto& paths, uint64_t rights) -> TStatus {
    for (const auto& path : paths)
      if (TStatus allowed = AllowBeneath(ruleset.Get(), path, rights & all); !allowed) return allowed;
    return {};
  };
  // With TCP handled, binding and connecting are denied but to the ports
  // named (the user's data port, which the session connects to itself).
  TStatus allowed = allowEach(kSystemFolders, kReadRights);
  if (attributes.HandledAccessNet != 0)
    for (uint16_t port : rules.ConnectPorts) {
      TLandlockNetPort rule{LANDLOCK_ACCESS_NET_CONNECT_TCP, port};
      if (allowed && ::syscall(__NR_landlock_add_rule, ruleset.Get(), kLandlockRuleNetPort, &rule, 0) != 0)
        allowed = TStatus::FromErrno(errno, "cannot allow connections to port " + std::to_string(port));
    }
  if (allowed) allowed = allowEach(kSystemDevices, kDeviceRights);
  if (allowed) allowed = allowEach(rules.ReadPaths, kReadRights);
  if (allowed) allowed = allowEach(rules.WritePaths, all);
  if (allowed) allowed = allowEach(rules.DropPaths, kDropRights);
  if (!allowed) return allowed;
  if (::syscall(__NR_landlock_restrict_self, ruleset.Get(), 0) != 0)
    return TStatus::FromErrno(errno, "cannot restrict the process by Landlock");
  return {};
}

// ---- seccomp ----

// Whether the kernel takes a seccomp filter for every thread at once.
bool HaveSeccompFilter() { return seccomp_api_get() >= 2; }

// Calls a process makes no use of that reach other processes, the system's
// mounts and namespaces, the kernel's facilities or its configuration.
constexpr const char* kDeniedCalls[] = {
    // Other processes.
    "ptrace", "process_vm_readv", "process_vm_writev", "pidfd_getfd", "pidfd_open", "pidfd_send_signal", "kcmp",
    // Mounts and namespaces.
    "mount", "umount2", "pivot_root", "chroot", "unshare", "setns", "open_tree", "move_mount", "fsopen", "fsconfig",
    "fsmount", "fspick", "mount_setattr",
    // The kernel's facilities.
    "bpf", "perf_event_open", "userfaultfd", "keyctl", "add_key", "request_key", "io_uring_setup", "io_uring_enter",
    "io_uring_register",
    // The system's configuration.
    "init_module", "finit_module", "delete_module", "kexec_load", "kexec_file_load", "reboot", "swapon", "swapoff",
    "acct", "quotactl", "syslog"};

// clone flags that would make a new namespace.
constexpr uint64_t kNamespaceFlags[] = {CLONE_NEWNS,   CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC,
                                        CLONE_NEWUSER, CLONE_NEWPID,    CLONE_NEWNET};

constexpr uint64_t kLow32 = 0xffffffffU;

scmp_arg_cmp Argument(unsigned index, scmp_compare compare, uint64_t value, uint64_t second = 0) {
  return scmp_arg_cmp{index, compare, value, second};
}

// The seccomp filter being built: allows all but what is denied. The first
// failure of building it is kept, and Load answers it.
class TSeccompFilter {
 public:
  TSeccompFilter() : Context(seccomp_init(SCMP_ACT_ALLOW)) {
    if (Context == nullptr) {
      Failure = TStatus::Failure("cannot build the seccomp filter", "out of memory");
      return;
    }
    // Every thread gets the filter. A call of another architecture (the
    // 32-bit ones) would pass the rules by, so it fails too. Every system
    // call passes the filter: it is a binary tree, and it leaves the
    // processor's speculation as it is for every other process (by default
    // the kernel would turn on the store-bypass mitigation for a filtered
    // process, which doubled the CPU a task costs).
    for (auto [attribute, value] :
         {std::pair{SCMP_FLTATR_API_SYSRAWRC, uint32_t{1}}, std::pair{SCMP_FLTATR_CTL_TSYNC, uint32_t{1}},
          std::pair{SCMP_FLTATR_CTL_NNP, uint32_t{1}}, std::pair{SCMP_FLTATR_CTL_SSB, uint32_t{1}},
          std::pair{SCMP_FLTATR_CTL_OPTIMIZE, uint32_t{2}},
          std::pair{SCMP_FLTATR_ACT_BADARCH, uint32_t{SCMP_ACT_ERRNO(EPERM)}}}) {
      if (const int result = seccomp_attr_set(Context, attribute, value); result < 0 && Failure.Ok())
        Failure = TStatus::FromErrno(-result, "cannot set up the seccomp filter");
    }
  }
  TSeccompFilter(const TSeccompFilter&) = delete;
  TSeccompFilter& operator=(const TSeccompFilter&) = delete;
  ~TSeccompFilter() {
    if (Context != nullptr) seccomp_release(Context);
  }

  // Makes `call` fail with `error` when all of `conditions` hold. A call this
  // libseccomp or architecture does not know is passed over.
  void Deny(const char* call, int error, std::initializer_list<scmp_arg_cmp> conditions = {}) {
    const int number = seccomp_syscall_resolve_name(call);
    if (!Failure.Ok() || number < 0) return;
    const int result = seccomp_rule_add_array(Context, SCMP_ACT_ERRNO(static_cast<unsigned>(error)), number,
                                              static_cast<unsigned>(conditions.size()), conditions.begin());
    if (result < 0) Failure = TStatus::FromErrno(-result, std::string("cannot add the seccomp rule for ") + call);
  }

  // Loads the filter into the kernel.
  TStatus Load() {
    if (!Failure.Ok()) return Failure;
    if (const int result = seccomp_load(Context); result < 0)
      return TStatus::FromErrno(-result, "cannot load the seccomp filter");
    return {};
  }

 private:
  scmp_filter_ctx Context;
  TStatus Failure;
};

TStatus ApplySeccomp(const TConfinementRules& rules) {
  TSeccompFilter filter;
  if (!rules.AllowNetwork) filter.Deny("socket", EACCES);
  if (!rules.AllowExec) {
    for (const char* call : {"execve", "execveat", "fork", "vfork"}) filter.Deny(call, EPERM);
    // A clone without CLONE_THREAD is a new process.
    filter.Deny("clone", EPERM, {Argument(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)});
  }
  for (uint64_t flag : kNamespaceFlags) filter.Deny("clone", EPERM, {Argument(0, SCMP_CMP_MASKED_EQ, flag, flag)});
  // clone3 takes its flags in memory, where the filter cannot look; the C
  // library then makes its threads by clone.
  filter.Deny("clone3", ENOSYS);
  for (const char* call : kDeniedCalls) filter.Deny(call, EPERM);
  // Signals only to this process itself.
  const uint64_t self = static_cast<uint64_t>(::getpid());
  for (const char* call : {"kill", "rt_sigqueueinfo", "tgkill", "rt_tgsigqueueinfo", "tkill"})
    filter.Deny(call, EPERM, {Argument(0, SCMP_CMP_NE, self)});
  // The kernel reads the arguments below as 32 bits: the filter compares
  // only those, so that bits above cannot slip a call past it.
  // The memory bound holds even for a process with the right to raise it.
  if (rules.MemoryLimitBytes != 0) {
    filter.Deny("setrlimit", EPERM, {Argument(0, SCMP_CMP_MASKED_EQ, kLow32, RLIMIT_DATA)});
    filter.Deny("prlimit64", EPERM,
                {Argument(1, SCMP_CMP_MASKED_EQ, kLow32, RLIMIT_DATA), Argument(2, SCMP_CMP_NE, 0)});
  }
  // No typing into the terminal.
  filter.Deny("ioctl", EPERM, {Argument(1, SCMP_CMP_MASKED_EQ, kLow32, TIOCSTI)});
  return filter.Load();
}

}  // namespace

std::vector<std::string> TConfinement::SystemPaths() {
  std::vector<std::string> paths;
  auto addExisting = [&paths](const auto& candidates) {
    for (const char* path : candidates) {
      struct stat info {};
      if (::stat(path, &info) == 0) paths.emplace_back(path);
    }
  };
  addExisting(kSystemFolders);
  addExisting(kSystemDevices);
  return paths;
}

std::string TConfinement::Describe() {
  std::string missing;
  const int abi = LandlockAbi(missing);
  std::string text = abi > 0 ? LandlockText(abi, true) : "no Landlock (" + missing + ")";
  text += HaveSeccompFilter() ? ", seccomp filter" : ", no seccomp (kernel without it)";
  return text + ", no new privileges, memory bound";
}

uint64_t TConfinement::DefaultMemoryLimitMiB() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  const uint64_t half =
      pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 2 / kMiB : 0;
  return std::max<uint64_t>(half, 64);
}

TStatus TConfinement::Apply(const TConfinementRules& rules, std::string& applied) {
  applied.clear();
  if (TStatus confined = ApplyFilesAndMemory(rules, applied); !confined) return confined;
  return ApplySystemCalls(rules, applied);
}

TStatus TConfinement::ApplyFilesAndMemory(const TConfinementRules& rules, std::string& applied) {
  auto note = [&applied](const std::string& layer) { applied += (applied.empty() ? "" : ", ") + layer; };

  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return TStatus::FromErrno(errno, "cannot give up new privileges");
  note("no new privileges");

  if (rules.MemoryLimitBytes != 0 && kSanitized) {
    // A sanitizer's own shadow mappings count as data: a bound would stop
    // the process at once.
    note("no memory bound (sanitizer build)");
  } else if (rules.MemoryLimitBytes != 0) {
    // RLIMIT_DATA counts the writable private memory a process has, not
    // address space it only reserves (as the C library's arenas do).
    rlimit limit{};
    if (::getrlimit(RLIMIT_DATA, &limit) != 0) return TStatus::FromErrno(errno, "cannot read the memory bound");
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, rules.MemoryLimitBytes);
    limit.rlim_max = std::min<rlim_t>(limit.rlim_max, rules.MemoryLimitBytes);
    if (::setrlimit(RLIMIT_DATA, &limit) != 0) return TStatus::FromErrno(errno, "cannot bound the memory");
    note("memory bound " + std::to_string(limit.rlim_cur / kMiB) + " MiB");
  }

  std::string missing;
  if (const int abi = LandlockAbi(missing); abi > 0) {
    if (TStatus landlock = ApplyLandlock(abi, rules); !landlock) return landlock;
    note(LandlockText(abi, !rules.AllowNetwork));
  } else {
    note("no Landlock (" + missing + ")");
  }
  return {};
}

TStatus TConfinement::ApplySystemCalls(const TConfinementRules& rules, std::string& applied) {
  auto note = [&applied](const std::string& layer) { applied += (applied.empty() ? "" : ", ") + layer; };
  if (HaveSeccompFilter()) {
    if (TStatus seccomp = ApplySeccomp(rules); !seccomp) return seccomp;
    note("seccomp filter");
  } else {
    note("no seccomp (kernel without it)");
  }
  return {};
}
