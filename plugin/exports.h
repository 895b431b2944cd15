// Export marking for the host entry points; their names come out undecorated (linked with --kill-at).
#ifndef PLUGIN_EXPORTS_H
#define PLUGIN_EXPORTS_H

#include "plugin/ztx_api.h"

#define ZTX_EXPORT __declspec(dllexport)

#endif
