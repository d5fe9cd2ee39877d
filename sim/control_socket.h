// tiwaysim's control channel: a Unix stream socket that takes one command
// line per connection and answers with one line.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tiwaysim {

class ControlServer {
public:
    ControlServer() = default;
    ~ControlServer(); // closes the socket and removes its file
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    // False with a message when the path is taken by a live server or
    // something that is not a socket.
    bool Listen(const std::string &path, std::string &error);

    // Serves the connections waiting now, without blocking for new ones.
    void Poll(const std::function<std::string(std::string_view)> &handle);

private:
    int fd_ = -1;
    std::string path_;
};

// Sends one command and returns the answer line; false with a message when
// no server answered.
bool SendControl(const std::string &path, const std::string &command, std::string &answer);

} // namespace tiwaysim
