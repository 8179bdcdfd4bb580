// Named events shared by every process of the machine, for the claim that a
// variant of the module puts on a reader.
//
// Design: only the existence of an event matters (nobody waits on it), and
// it must vanish with the process that made it, also when that process dies.
//  - Each name is a file "zorbix-event-<encoded name>" in the named-object
//    folder (NamedObjectDirectory, name encoding as for the named mutexes),
//    created mode 0666 and never removed.
//  - A holder keeps the file open with a shared flock. Several holders (the
//    same name created twice, in one process or in several) coexist, as
//    handles of one event do.
//  - The event exists while anyone holds such a lock: a probe asks for an
//    exclusive lock without waiting and fails exactly then. The kernel drops
//    the locks of a process that ends, so a dead holder leaves no event.
#pragma once

#include <memory>
#include <string>

namespace zorbix::platform {

class NamedEvent {
 public:
  // Creates (or joins) the event; null when the file cannot be made or
  // locked.
  static std::unique_ptr<NamedEvent> Create(const std::string& name);
  // True when some holder, in any process, has the event open.
  static bool Exists(const std::string& name);

  ~NamedEvent();  // closes this holder's handle
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  const std::string& Name() const { return name_; }

  // File name (no directory) that `name` maps to.
  static std::string FileNameFor(const std::string& name);

 private:
  NamedEvent(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}

  std::string name_;
  int fd_;
};

}  // namespace zorbix::platform
