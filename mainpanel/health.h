// The main-panel heartbeat record "session holding last_error time".
#pragma once
#include <stddef.h>
#include <stdint.h>

#define HEALTH_FILE_NAME "veltaris-main-panel-health"
#define HEALTH_TMP_FILE_NAME HEALTH_FILE_NAME ".new"
#define MAIN_PANEL_HEALTH_PATH "/data/system/" HEALTH_FILE_NAME
#define MAIN_PANEL_HEALTH_TMP_PATH "/data/system/" HEALTH_TMP_FILE_NAME

enum { HEALTH_LINE_SIZE = 128 };

// The record line; its length, or -1 when it would not fit. Pure.
int format_health_record(char* buf, size_t size, const char* session, int holding,
                         int last_error, int64_t now_ms);

// Replaces the record atomically; on success sets g_daemon.last_health_ms.
int write_health_record(int holding);
