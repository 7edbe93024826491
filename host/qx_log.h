// The log-writer library (the qx_LOG_ classes) in one include: settings and
// definitions, entries, devices, the writer and the exception type.
#ifndef KEELGATE_HOST_QX_LOG_H
#define KEELGATE_HOST_QX_LOG_H

#include "host/qx_exception.h"
#include "host/qx_log_config.h"
#include "host/qx_log_device.h"
#include "host/qx_log_entry.h"
#include "host/qx_log_writer.h"

#endif
