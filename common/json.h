// The one piece of JSON the records and replies need beyond printf.
#pragma once

inline const char* json_bool(int value) {
    return value ? "true" : "false";
}
