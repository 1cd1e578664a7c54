// The Linux transport component, created by "Portway.Portway2.1".
//
// Open takes "TCPIP:host/port,connectTimeout[,SSL]", "COM:n,921600,N,8,1" or
// "SOCK:name_COM,n,921600,N,8,1" (see connection_text.h and device_paths.h for the
// forms and where devices and socket bridges are found). Open failures leave:
//   PW_BAD_CONNECTION_TEXT  the text has no known form
//   PW_HOST_NOT_FOUND (9)   the host name did not resolve (within the time-out)
//   PW_CONNECT_FAILED (10)  the host refused, was unreachable or did not answer in
//                           the connection time-out (0 means 5000 ms)
//   PW_TLS_FAILED           TLS handshake failed, did not end in the time-out, or
//                           the certificate did not match the pinned fingerprint
//   PW_NO_DEVICE            COMn maps to no character device
//   PW_PORT_OPEN_FAILED     the device or the socket bridge did not open, or the
//                           baud rate is not supported
//
// Operations:
//   Lock/Unlock  the link lock (link_lock.h): waits without a time-out, re-entrant
//                for the holding thread, one Unlock frees it.
//   Read         succeeds only with exactly `length` bytes within `timeout` ms,
//                else PW_TIMEOUT; bytes read before a time-out are consumed. Once
//                the peer has closed, every Read fails at once with
//                PW_PEER_CLOSED.
//   Write        writes every byte; gives up after 5 s without progress.
//   Reset        drops unread input (also what TLS has decrypted but not handed
//                out; tcflush on serial links). On a socket whose last answer
//                was read to its end by a receive that found nothing behind it,
//                with no request sent since, there is nothing to drop and the
//                socket is not asked (one system call less per exchange).
//   Flush        tcdrain on serial links; nothing to do on sockets.
//   GetProperty  2/3: TLS certificate not-before/not-after (VT_UI4, seconds since
//                1970); 4: the pinned fingerprint (VT_BSTR, empty when none);
//                5: the peer certificate's SHA-256 fingerprint (VT_BSTR, hex);
//                6: why the last Open failed, in the system's words (VT_BSTR,
//                e.g. "cannot reach 10.0.0.7:17221: connection refused"; empty
//                after an Open that succeeded); 7: the error code of the last
//                call that failed since Open (VT_I4; PW_OK when none did).
//   PutProperty  4: pin the TLS certificate: a VT_BSTR of 64 hex digits, colons
//                allowed; an empty text or VT_EMPTY removes the pin. Without a
//                pin the environment variable KELVO_TLS_FINGERPRINT is used.
//   Variant data, messages and events are not provided (E_NOTIMPL); the message
//   filter operations accept their arguments and have no effect.
#pragma once

#include "kelvo/portway.h"

namespace kelvo {

// The class object of the transport: a static object whose reference count
// operations do nothing.
IClassFactory* PortwayClassFactory();

// Makes "Portway.Portway2.1" creatable through the component runtime of this
// process.
void RegisterPortwayClass();

} // namespace kelvo
