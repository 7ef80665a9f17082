#pragma once
// COM<n> of a Wine prefix mapped to a device path, in the two places Wine looks: the
// value COM<n> under HKLM\Software\Wine\Ports, from which Wine's mount manager remakes
// dosdevices/com<n> each time wineserver starts, and that link itself, which the
// server running now uses.
#include <string>

class WinePort {
 public:
  WinePort(const std::string& prefix, unsigned com) : prefix(prefix), com(com) {}
  ~WinePort() { Unmap(); }
  WinePort(const WinePort&) = delete;
  WinePort& operator=(const WinePort&) = delete;

  // Points COM<n> at path; on failure *error says why and nothing is left mapped.
  bool Map(const std::string& path, std::string* error);
  // Removes the value and the link, each only while it still points at our path:
  // someone may have remapped the port meanwhile.
  void Unmap();
  // "dosdevices/com<n> of PREFIX", for the output.
  std::string Describe() const;

 private:
  std::string LinkPath() const;

  const std::string prefix;
  const unsigned com;
  std::string mapped;  // the path we mapped, empty when none
};
