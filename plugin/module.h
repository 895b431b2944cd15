// The module's own instance handle, recorded at load.
#ifndef PLUGIN_MODULE_H
#define PLUGIN_MODULE_H

#include <windows.h>

namespace plugin {

HINSTANCE ModuleInstance();

} // namespace plugin

#endif
