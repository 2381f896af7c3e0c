#pragma once
// Message texts from string tables the program carries as resources of type
// "S_STRINGTABLE" (entries: 16-bit id little-endian, length byte, text; id 0 ends the table).
#include <cstdint>
#include <string>

#include "Runtime.h"

namespace unzip {

class TS_StringResource : public platform::TObject {
public:
  // Loads the table `name`; raises "No such string resource: %s" when there is none.
  explicit TS_StringResource(const std::string& name);
  ~TS_StringResource() override;
  TS_StringResource(const TS_StringResource&) = delete;
  TS_StringResource& operator=(const TS_StringResource&) = delete;

  // The entry after `entry`, or null past the end of the table's data.
  virtual const uint8_t* NextEntry(const uint8_t* entry);
  // The entry with `id`, or null when the table ends first. Needs the table locked.
  virtual const uint8_t* FindEntry(int id);
  virtual void Load(const std::string& name);
  virtual void Unload();
  // Lock raises EOutOfResources "Cannot lock string resource" when the data is missing.
  virtual void Lock();
  virtual void Unlock();

  // The text of `id`, empty when the table has no such id.
  std::string Message(int id);
  const std::string& Name() const { return FName; }

protected:
  std::string FName;
  const platform::TResourceEntry* FResource = nullptr;
  const uint8_t* FTable = nullptr;  // set while locked
  const uint8_t* FTableEnd = nullptr;
};

// The text of message `id` in the string table `tableName` (compared without regard to
// case); empty when the table has no such id. The tables stay loaded once asked for.
std::string ResourceMessage(const std::string& tableName, int id);

}  // namespace unzip
