#include "figures.h"

const char* FigureSourceName(FigureSource source) {
  switch (source) {
    case FigureSource::Agent: return "agent";
    case FigureSource::MetricsExport: return "metrics export";
    case FigureSource::MetricCalls: return "metric calls";
    case FigureSource::None: break;
  }
  return "none";
}
