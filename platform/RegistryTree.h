// An in-memory registry: keys with ordered subkeys and values, opened by
// path without regard to case, queried with the registry's size rules. The
// simulated machine keeps its registry in one; the Linux backend builds one
// from sysfs for every key it opens.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Devices.h"

namespace platform {

class RegistryTree {
 public:
  struct Node {
    std::string Name;
    std::vector<RegistryValue> Values;
    std::vector<std::unique_ptr<Node>> Subkeys;

    Node* Find(const std::string& name) const;
    const RegistryValue* FindValue(const std::string& name) const;
  };

  // The key at path, created with its parents where missing.
  Node& CreateKey(const std::string& path);
  // Sets (or replaces) a value, creating the key.
  void SetValue(const std::string& path, const std::string& name, std::uint32_t type,
                const std::string& data);
  void SetText(const std::string& path, const std::string& name, const std::string& text) {
    SetValue(path, name, kRegSz, RegText(text));
  }
  void DeleteValue(const std::string& path, const std::string& name);
  void DeleteKey(const std::string& path);
  // The key at path, or nullptr.
  const Node* Find(const std::string& path) const;

  // A key handle on a node of a shared tree; the tree stays alive while the
  // handle does.
  static std::unique_ptr<IRegistryKey> Open(std::shared_ptr<const RegistryTree> tree,
                                            const std::string& path);

  // RegQueryValueEx over one value (nullptr: no such value).
  static long Query(const RegistryValue* value, std::uint32_t* type, std::uint8_t* data, std::uint32_t* size);

 private:
  Node root_;
};

// Splits a registry path at its backslashes, dropping empty parts.
std::vector<std::string> SplitKeyPath(const std::string& path);
bool SameKeyName(const std::string& a, const std::string& b);

}  // namespace platform
