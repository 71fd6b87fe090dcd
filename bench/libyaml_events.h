/* Parses a YAML text with libyaml and drops every event; returns how many there were. */
#pragma once
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
size_t libyaml_event_count(const char* text, size_t size);
#ifdef __cplusplus
}
#endif
