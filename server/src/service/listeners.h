// Who else listens on the server's address. Every network thread of the server has its
// own listening socket on the shared port (SO_REUSEPORT), which would let a second
// server of the same user join in quietly and take part of the connections: the server
// looks for such a listener before it listens itself, and again after, and refuses to
// start where it finds one.
#pragma once
#include <asio.hpp>

#include <span>
#include <string>

namespace dvs {

// A listening TCP socket of another process (one not in ownSockets) whose address takes
// connections meant for address:port: the same address, or either side the wildcard. The
// answer names it ("pid 1234 (name)" when the process can be found, "another user's
// process" otherwise); empty when there is none.
std::string OtherListener(const asio::ip::address &address, uint16_t port, std::span<const int> ownSockets);

// The listening socket systemd hands over when a .socket unit starts the server
// (LISTEN_PID, LISTEN_FDS): held by systemd, it outlives the process, so a restart or a
// new binary never closes the port; connections wait in its backlog meanwhile. socket is
// -1 when the server was started without one. The variables are cleared so that nothing
// the server starts takes them for its own. False with a message when they hand over
// something else than one listening TCP socket.
bool ActivatedListener(int &socket, std::string &error);

}  // namespace dvs
