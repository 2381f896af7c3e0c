#pragma once
// The framework's object runtime: the root class with its class name, the persistent base
// class with its assign protocol, and the filer through which a persistent object declares
// extra stored properties. Just enough for the component's lists and streams.
#include <functional>
#include <string>
#include <string_view>

#include "Exceptions.h"

namespace platform {

class TStream;

// Raised when an object cannot be assigned to another: "Cannot assign a %s to a %s".
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// Raised when a resource the program carries cannot be loaded or locked.
class EOutOfResources : public Exception {
public:
  using Exception::Exception;
};

// Root of the framework's classes.
class TObject {
public:
  TObject() = default;
  virtual ~TObject() = default;
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;

  // The class's own name without namespaces ("TObjectList"). By default taken from the
  // run-time type, so every subclass answers with its own name without writing it twice.
  virtual std::string ClassName() const;
};

// Reads or writes a binary property's data.
using TStreamProc = std::function<void(TStream&)>;

// The side of the streaming system that a persistent object talks to when it declares
// properties that are not plain published ones.
class TFiler {
public:
  virtual ~TFiler() = default;
  // Declares a binary property: `readData` loads it, `writeData` stores it; `hasData`
  // says whether there is anything worth storing.
  virtual void DefineBinaryProperty(const std::string& name, TStreamProc readData,
                                    TStreamProc writeData, bool hasData) = 0;
};

// Base of objects that can be assigned from one another and stored.
class TPersistent : public TObject {
public:
  // Copies `source` into this object. The base asks the source to assign itself to us;
  // a null source or a pair that knows nothing of each other raises EConvertError.
  virtual void Assign(const TPersistent* source);
  // Declares properties beyond the published ones; the base declares none.
  // Copies this object into `dest`; the base knows no way and raises EConvertError.
  virtual void AssignTo(TPersistent& dest) const;
  // Declares properties beyond the published ones; the base declares none.
  virtual void DefineProperties(TFiler& filer);

private:
  [[noreturn]] void AssignError(const TPersistent* source) const;
};

}  // namespace platform

namespace platform {

// Resources carried by the program: data blocks found by name and type (both compared
// without regard to case), as the executable's resource section holds them.
struct TResourceEntry {
  const char* Name;
  const char* Type;
  const unsigned char* Data;
  unsigned long Size;
};

// Makes `count` entries findable. The entries must live as long as the program (they are
// generated tables); registering the same array twice has no further effect.
void RegisterResources(const TResourceEntry* entries, unsigned long count);
// The resource of that name and type, or null.
const TResourceEntry* FindResource(std::string_view name, std::string_view type);

}  // namespace platform
