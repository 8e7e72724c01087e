// Test support: a Unix datagram socket bound at a path, standing in for a
// daemon that our code notifies.
#ifndef KMR_TESTS_SUPPORT_DATAGRAM_LISTENER_H
#define KMR_TESTS_SUPPORT_DATAGRAM_LISTENER_H

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace kmrtest {

class DatagramListener {
 public:
  // Binds at `path`, replacing whatever socket file is there.
  explicit DatagramListener(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("cannot listen at " + path);
  }
  ~DatagramListener() {
    closeSocket();
    unlink(path_.c_str());
  }
  DatagramListener(const DatagramListener&) = delete;
  DatagramListener& operator=(const DatagramListener&) = delete;

  // Every datagram queued so far, oldest first; a sender's sendto has
  // queued its datagram before it returns.
  std::vector<std::string> received() {
    std::vector<std::string> out;
    char buf[4096];
    ssize_t n;
    while (fd_ >= 0 && (n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) out.emplace_back(buf, n);
    return out;
  }
  // Stops listening; the socket file stays, with nobody bound to it.
  void closeSocket() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace kmrtest

#endif
