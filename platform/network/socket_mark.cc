#include "platform/network/socket_mark.h"

#include <sys/socket.h>

#include <cerrno>

namespace kelvo {

int SocketMark::ApplyTo(int fd) const {
  const uint32_t mark = Get();
  if (mark == 0) return 0;
  if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) return errno;
  return 0;
}

}  // namespace kelvo
