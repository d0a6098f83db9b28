#include "Updater.h"

Updater::Updater(const char* serverUrl, const char* storeDirectory,
                 UpdaterDisplayInterface& display)
    : _serverUrl(serverUrl ? serverUrl : ""), _storeDirectory(storeDirectory ? storeDirectory : ""),
      _display(display) {}
