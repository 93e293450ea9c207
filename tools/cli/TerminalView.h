// What a person at a terminal sees of a run: the status text and a moving
// progress bar on one live line, every message box as a marked block above
// it, the board's identity and values as a table, and the end. It is fed the
// transcript's lines, so it shows exactly the events a script would read.
#pragma once

#include <memory>
#include <ostream>

// Whether standard output is a terminal (and made ready for the view's
// control sequences where the system needs that).
bool StdoutIsTerminal();

class TTerminalView {
 public:
  // Writes to `out`; `animate` keeps a ticker thread that redraws the live
  // line, so a long quiet wait still shows that the run is alive.
  TTerminalView(std::ostream& out, bool animate);
  ~TTerminalView();
  TTerminalView(const TTerminalView&) = delete;
  TTerminalView& operator=(const TTerminalView&) = delete;

  // The stream the transcript is to be written to.
  std::ostream& Stream();

  // One transcript line, without its line end.
  void Line(const std::string& line);

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};
