// libtvData.so: the terminal's in-memory data tables.
//
//   tvDataTypes.h    type codes, raw cell layouts, decimals, time stamps
//   tvDataVariant.h  variant values, equality, ordering, conversions
//   tvDataTable.h    stores, tables, columns, records, notices
//   tvDataView.h     ordered and filtered views and their links
//   tvDataUtils.h    Split/Unite, CompareData, text search, exporter, progress
//   tvDataError.h    the layer's errors
#pragma once

#include "host/tvDataError.h"
#include "host/tvDataTable.h"
#include "host/tvDataTypes.h"
#include "host/tvDataUtils.h"
#include "host/tvDataVariant.h"
#include "host/tvDataView.h"
