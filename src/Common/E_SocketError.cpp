#include "Common/E_SocketError.h"

#include "Platform/T_TcpSocket.h"

ESocketError ESocketError::FromCall(int error, const char* api) {
  return ESocketError("Windows socket error: " + TTcpSocket::ErrorText(error) + " (" + std::to_string(error) +
                      "), on API '" + api + "'");
}

ESocketError ESocketError::FromStream(const char* operation, int error) {
  return ESocketError(std::string(operation) + " error " + std::to_string(error) + ", " +
                      TTcpSocket::ErrorText(error));
}
