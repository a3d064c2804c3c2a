#pragma once

// The process's open stores: one engine per data file, found by registry key
// (vorn::storeRegistryKey of the data file's path).
//
// Locking: registryLock() guards the map, and changes of the log level and
// handler. It is taken only to find, create or drop an engine, never while
// waiting for another process (an open of one store must not hold up opens
// of others); the by-id operations give it up before they wait.

#include <string>
#include <unordered_map>

#include "core/VORN.h"

namespace vorn {

class StoreEngine;
class ThreadLock;

// Creates the registry, its lock and vorn::mmapUnitSize(), once per process.
void ensureMinimalInitialize();

// Null until ensureMinimalInitialize; never freed.
ThreadLock *registryLock();

// Every open engine by registry key; null before ensureMinimalInitialize and
// after closeAllStores. REQUIRES: registryLock() held.
std::unordered_map<std::string, StoreEngine *> *openStores();

// The open engine of `mmapID`, or a new one (null when refused: logged).
// config.rootPath is resolved (or null for the global root).
StoreEngine *openStore(const std::string &mmapID, const VORNConfig &config);

// Drops `engine` from the map (when it is there). REQUIRES: registryLock() held.
void forgetStore(StoreEngine *engine);

// Syncs and destroys every open engine; later opens fail.
void closeAllStores();

} // namespace vorn
