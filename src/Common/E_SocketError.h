// ESocketError: every failure of the blocking socket layer. Its message is
// one of the layer's fixed texts; the factories below build the two that
// carry a system error code. A value type.
#pragma once

#include <stdexcept>
#include <string>

class ESocketError : public std::runtime_error {
 public:
  explicit ESocketError(const std::string& message) : std::runtime_error(message) {}

  // "Windows socket error: %s (%d), on API '%s'": the system's text for
  // `error` (an errno code), the code, and the failed call ("connect",
  // "bind", "listen", "closesocket").
  static ESocketError FromCall(int error, const char* api);

  // "%s error %d, %s": the stream operation ("Read", "Write"), the errno
  // code and the system's text for it.
  static ESocketError FromStream(const char* operation, int error);
};

// The layer's fixed texts without a code.
inline constexpr const char* kSocketAlreadyOpen = "Socket already open";
inline constexpr const char* kCantCreateSocket = "Can't create new socket";
inline constexpr const char* kNoAddressSpecified = "No address specified";
inline constexpr const char* kCantListenOnOpen = "Can't listen on an open socket";
inline constexpr const char* kCantChangeWhileActive = "Can't change value while socket is active";
inline constexpr const char* kSocketMustBeBlocking = "Socket must be in blocking mode";
