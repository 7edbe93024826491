// The log-writer library (the qx_LOG_ classes) in one include: settings and
// definitions, entries, devices, the writer and the exception type.
#ifndef KEELGATE_HOST_CSV_QX_LOG_H
#define KEELGATE_HOST_CSV_QX_LOG_H

#include "host/csv/qx_exception.h"
#include "host/csv/qx_log_config.h"
#include "host/csv/qx_log_device.h"
#include "host/csv/qx_log_entry.h"
#include "host/csv/qx_log_writer.h"

#endif
