// The handshakes the instruction benchmark counts: a client's TLS 1.3 connections to a listener on
// loopback, as a console without a certificate makes them (it checks the listener's certificate against
// the authority and names the machine it means), each ended as soon as the handshake is done (the
// client says close_notify and waits for the listener to close).
#pragma once

#include <string>

namespace instrbench {

// `count` connections to 127.0.0.1:`port` one after another; false with `error` at the first failure.
bool handshakes(int port, const std::string& authorityFile, const std::string& serverName, int count,
                std::string& error);

}  // namespace instrbench
