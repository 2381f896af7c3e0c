#include "Runtime.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace platform {

std::string TObject::ClassName() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : mangled;
  // Keep only the last component: "unzip::TObjectList" -> "TObjectList". Template
  // arguments are left as they are.
  size_t depth = 0, start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '<') ++depth;
    else if (name[i] == '>' && depth > 0) --depth;
    else if (depth == 0 && name[i] == ':' && i + 1 < name.size() && name[i + 1] == ':') start = i + 2;
  }
  return name.substr(start);
}

void TPersistent::Assign(const TPersistent* source) {
  if (source == nullptr) AssignError(nullptr);
  source->AssignTo(*this);
}

void TPersistent::AssignTo(TPersistent& dest) const { dest.AssignError(this); }

void TPersistent::DefineProperties(TFiler&) {}

void TPersistent::AssignError(const TPersistent* source) const {
  const std::string from = source ? source->ClassName() : std::string("nil");
  throw EConvertError(Format("Cannot assign a %s to a %s", from.c_str(), ClassName().c_str()));
}

}  // namespace platform

#include <mutex>
#include <utility>
#include <vector>

namespace platform {

namespace {

struct ResourceTables {
  std::mutex Lock;
  std::vector<std::pair<const TResourceEntry*, unsigned long>> Tables;
};

ResourceTables& Resources() {
  static ResourceTables tables;
  return tables;
}

bool SameText(std::string_view a, const char* b) {
  const std::string_view bv(b);
  if (a.size() != bv.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(bv[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

void RegisterResources(const TResourceEntry* entries, unsigned long count) {
  auto& r = Resources();
  std::lock_guard<std::mutex> guard(r.Lock);
  for (const auto& t : r.Tables)
    if (t.first == entries) return;
  r.Tables.emplace_back(entries, count);
}

const TResourceEntry* FindResource(std::string_view name, std::string_view type) {
  auto& r = Resources();
  std::lock_guard<std::mutex> guard(r.Lock);
  for (const auto& t : r.Tables)
    for (unsigned long i = 0; i < t.second; ++i)
      if (SameText(name, t.first[i].Name) && SameText(type, t.first[i].Type)) return &t.first[i];
  return nullptr;
}

}  // namespace platform
