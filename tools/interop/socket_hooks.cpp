// The driver links the core with the linker's --wrap for the socket calls of platform/socket.h
// (see CMakeLists.txt): every call the protocol makes lands here first, goes on to the real
// function, and what it moved is fed to the wire tap. The names are the functions' mangled
// names, which --wrap needs. SocketRecvNow is referenced weakly, so that a core that does not
// have it still links (its hook is then never called).
#include <cstddef>

#include "platform/socket.h"
#include "tools/interop/wire_tap.h"

using zul::SocketAddress;
using zul::SocketHandle;
using zul::interop::WireTap;

extern "C" {

bool __real__ZN3zul13SocketConnectEiRKNS_13SocketAddressE(SocketHandle, const SocketAddress&);
long __real__ZN3zul10SocketSendEiPKvm(SocketHandle, const void*, size_t);
long __real__ZN3zul10SocketRecvEiPvm(SocketHandle, void*, size_t);
long __real__ZN3zul13SocketRecvNowEiPvm(SocketHandle, void*, size_t) __attribute__((weak));

bool __wrap__ZN3zul13SocketConnectEiRKNS_13SocketAddressE(SocketHandle s,
                                                          const SocketAddress& address) {
    const bool connected = __real__ZN3zul13SocketConnectEiRKNS_13SocketAddressE(s, address);
    if (connected) WireTap::Instance().Connected(s);
    return connected;
}

long __wrap__ZN3zul10SocketSendEiPKvm(SocketHandle s, const void* data, size_t n) {
    const long moved = __real__ZN3zul10SocketSendEiPKvm(s, data, n);
    if (moved > 0) {
        WireTap::Instance().Feed(s, false, static_cast<const uint8_t*>(data),
                                 static_cast<size_t>(moved));
    }
    return moved;
}

long __wrap__ZN3zul10SocketRecvEiPvm(SocketHandle s, void* data, size_t n) {
    const long moved = __real__ZN3zul10SocketRecvEiPvm(s, data, n);
    if (moved > 0) {
        WireTap::Instance().Feed(s, true, static_cast<const uint8_t*>(data),
                                 static_cast<size_t>(moved));
    }
    return moved;
}

long __wrap__ZN3zul13SocketRecvNowEiPvm(SocketHandle s, void* data, size_t n) {
    const long moved = __real__ZN3zul13SocketRecvNowEiPvm(s, data, n);
    if (moved > 0) {
        WireTap::Instance().Feed(s, true, static_cast<const uint8_t*>(data),
                                 static_cast<size_t>(moved));
    }
    return moved;
}

}  // extern "C"
