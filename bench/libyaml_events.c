/* libyaml's bare event loop, compiled apart from the library's sources, whose yaml.h would hide libyaml's. */
#include <yaml.h>

#include "libyaml_events.h"

size_t libyaml_event_count(const char* text, size_t size) {
  yaml_parser_t parser;
  yaml_event_t event;
  size_t events = 0;
  int end = 0;
  if (!yaml_parser_initialize(&parser)) return 0;
  yaml_parser_set_input_string(&parser, (const unsigned char*)text, size);
  while (!end && yaml_parser_parse(&parser, &event)) {
    end = event.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&event);
    ++events;
  }
  yaml_parser_delete(&parser);
  return events;
}
