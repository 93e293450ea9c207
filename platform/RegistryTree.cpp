#include "platform/RegistryTree.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace platform {

std::vector<std::string> SplitKeyPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

bool SameKeyName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

RegistryTree::Node* RegistryTree::Node::Find(const std::string& name) const {
  for (const auto& k : Subkeys)
    if (SameKeyName(k->Name, name)) return k.get();
  return nullptr;
}

const RegistryValue* RegistryTree::Node::FindValue(const std::string& name) const {
  for (const auto& v : Values)
    if (SameKeyName(v.Name, name)) return &v;
  return nullptr;
}

RegistryTree::Node& RegistryTree::CreateKey(const std::string& path) {
  Node* n = &root_;
  for (const std::string& part : SplitKeyPath(path)) {
    Node* next = n->Find(part);
    if (next == nullptr) {
      n->Subkeys.push_back(std::make_unique<Node>());
      next = n->Subkeys.back().get();
      next->Name = part;
    }
    n = next;
  }
  return *n;
}

void RegistryTree::SetValue(const std::string& path, const std::string& name, std::uint32_t type,
                            const std::string& data) {
  Node& key = CreateKey(path);
  for (auto& v : key.Values) {
    if (SameKeyName(v.Name, name)) {
      v.Type = type;
      v.Data = data;
      return;
    }
  }
  key.Values.push_back(RegistryValue{name, type, data});
}

void RegistryTree::DeleteValue(const std::string& path, const std::string& name) {
  Node* key = const_cast<Node*>(Find(path));
  if (key == nullptr) return;
  std::erase_if(key->Values, [&](const RegistryValue& v) { return SameKeyName(v.Name, name); });
}

void RegistryTree::DeleteKey(const std::string& path) {
  std::vector<std::string> parts = SplitKeyPath(path);
  if (parts.empty()) return;
  std::string leaf = parts.back();
  parts.pop_back();
  Node* parent = &root_;
  for (const std::string& part : parts) {
    parent = parent->Find(part);
    if (parent == nullptr) return;
  }
  std::erase_if(parent->Subkeys, [&](const std::unique_ptr<Node>& k) { return SameKeyName(k->Name, leaf); });
}

const RegistryTree::Node* RegistryTree::Find(const std::string& path) const {
  const Node* n = &root_;
  for (const std::string& part : SplitKeyPath(path)) {
    n = n->Find(part);
    if (n == nullptr) return nullptr;
  }
  return n;
}

long RegistryTree::Query(const RegistryValue* value, std::uint32_t* type, std::uint8_t* data,
                         std::uint32_t* size) {
  if (value == nullptr) return kErrorFileNotFound;
  if (type != nullptr) *type = value->Type;
  const auto length = static_cast<std::uint32_t>(value->Data.size());
  long rc = kErrorSuccess;
  if (data != nullptr) {
    if (size == nullptr) return kErrorInvalidHandle;
    if (*size < length)
      rc = kErrorMoreData;
    else
      std::memcpy(data, value->Data.data(), length);
  }
  if (size != nullptr) *size = length;
  return rc;
}

namespace {

class TreeKey final : public IRegistryKey {
 public:
  TreeKey(std::shared_ptr<const RegistryTree> tree, const RegistryTree::Node* node)
      : tree_(std::move(tree)), node_(node) {}

  long QueryValue(const std::string& name, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size) override {
    return RegistryTree::Query(node_->FindValue(name), type, data, size);
  }

  std::vector<std::string> SubkeyNames() override {
    std::vector<std::string> names;
    for (const auto& k : node_->Subkeys) names.push_back(k->Name);
    return names;
  }

 private:
  std::shared_ptr<const RegistryTree> tree_;
  const RegistryTree::Node* node_;
};

}  // namespace

std::unique_ptr<IRegistryKey> RegistryTree::Open(std::shared_ptr<const RegistryTree> tree,
                                                 const std::string& path) {
  const Node* n = tree->Find(path);
  if (n == nullptr) return nullptr;
  return std::make_unique<TreeKey>(std::move(tree), n);
}

}  // namespace platform
