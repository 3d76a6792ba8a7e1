#pragma once

// Symbols shared between the host process and its plug-ins keep default
// visibility even when a plug-in is compiled with -fvisibility=hidden:
// host operations stay undefined references bound at load time, and the
// provider classes' type information is visible to the host.
#define TARN_API __attribute__((visibility("default")))
