// SPDX-License-Identifier: Apache-2.0
#include "Gui/XDisplayProbe.h"

#include <dlfcn.h>

namespace {

// The three entry points of libxcb the probe needs; the connection stays
// opaque.
struct TXcbConnection;
using TConnect = TXcbConnection* (*)(const char* display, int* screen);
using THasError = int (*)(TXcbConnection* connection);
using TDisconnect = void (*)(TXcbConnection* connection);

// xcb_connection_has_error's answers that a user can act on.
std::string ConnectionErrorText(int code) {
  switch (code) {
    case 1:
      return "no X server accepts the connection";
    case 5:
      return "the display name cannot be parsed";
    case 6:
      return "the display has no such screen";
    default:
      return "the X connection failed (error " + std::to_string(code) + ")";
  }
}

}  // namespace

bool XDisplayAnswers(const std::string& display, std::string& why) {
  void* library = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    why = "libxcb.so.1 cannot be loaded";
    return false;
  }
  auto connect = reinterpret_cast<TConnect>(::dlsym(library, "xcb_connect"));
  auto hasError = reinterpret_cast<THasError>(::dlsym(library, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<TDisconnect>(::dlsym(library, "xcb_disconnect"));
  bool answers = false;
  if (connect == nullptr || hasError == nullptr || disconnect == nullptr) {
    why = "libxcb.so.1 lacks xcb_connect";
  } else {
    // Never null: a failed connection is a static error object, which
    // xcb_disconnect accepts.
    TXcbConnection* connection = connect(display.c_str(), nullptr);
    const int error = hasError(connection);
    disconnect(connection);
    answers = error == 0;
    if (!answers) why = ConnectionErrorText(error);
  }
  ::dlclose(library);
  return answers;
}
