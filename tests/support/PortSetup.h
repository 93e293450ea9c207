// The board's line settings, as the main window sets its port: 9600 8N1,
// no flow control, a 64000-byte input buffer.
#pragma once

#include "serial/Comport.h"

namespace qvtest {

inline void ConfigureBoardLine(TComPort& p) {
  p.SetBaudRate(br9600);
  p.SetDataBits(db8);
  p.SetParity(paNone);
  p.SetStopBits(sb1);
  p.FlowControl().SetDTR(dcDisable);
  p.FlowControl().SetRTS(rcDisable);
  p.FlowControl().SetXOnXOff(xcDisable);
  p.BufferSizes().SetInput(64000);
}

}  // namespace qvtest
