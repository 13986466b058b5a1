// The success sound through libcanberra, which plays the desktop's sound theme the way the
// desktop's own programs do.
#include <QApplication>
#include <canberra.h>

#include "app/qt/feedback_qt.h"

void PlayCompleteSound() {
  // One context for the life of the program: making one connects to the sound server.
  static ca_context *const context = [] {
    ca_context *created = nullptr;
    if (ca_context_create(&created) != CA_SUCCESS)
      return static_cast<ca_context *>(nullptr);
    ca_context_change_props(created, CA_PROP_APPLICATION_NAME, "Vantoly", CA_PROP_APPLICATION_ID,
                            "vantoly", nullptr);
    return created;
  }();
  const int result = context == nullptr
                         ? CA_ERROR_NOTAVAILABLE
                         : ca_context_play(context, 0, CA_PROP_EVENT_ID, "complete",
                                           CA_PROP_EVENT_DESCRIPTION, "Conversion done", nullptr);
  // A user who switched event sounds off gets none; without a sound server or a sound theme
  // the bell still tells the user that the conversion is done.
  if (result != CA_SUCCESS && result != CA_ERROR_DISABLED)
    QApplication::beep();
}
