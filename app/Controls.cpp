#include "Controls.h"

#include <exception>

#include "Exceptions.h"
#include "UserInterface.h"

namespace launcher {

void RunHandler(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const platform::Exception& e) {
    platform::UI().ShowError(e.Message);
  } catch (const std::bad_alloc&) {
    platform::UI().ShowError("Out of memory");
  } catch (const std::exception& e) {
    platform::UI().ShowError(e.what());
  }
}

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

}  // namespace launcher
