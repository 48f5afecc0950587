#pragma once
#include <string>

namespace zavo {
namespace test {

// Moves the calling process into a private network namespace and brings its
// loopback interface up, so that multicast and packet-socket tests can use
// 127.0.0.1 and a 239.x.x.x group without anything leaving the machine.
// Must run before any thread exists. Tries CLONE_NEWNET first (root), then
// CLONE_NEWUSER|CLONE_NEWNET. On failure returns false and says why in *why.
bool enter_private_netns(std::string* why);

// True once enter_private_netns() has succeeded in this process.
bool in_private_netns();

}  // namespace test
}  // namespace zavo
