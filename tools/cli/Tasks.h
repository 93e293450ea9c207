// The command-line tool's tasks beyond the plain patch run: reading a board
// without programming it (and saving what was read as a patch file), a
// backup before programming, reading back after programming, a port named
// by the user instead of the search, and the port's transfer log. They are
// fitted into the run as its stage operations, so the window, the message
// convention and the board dialogue stay those of the program.
#pragma once

#include <string>

struct TCliTaskOptions {
  // Read the board and leave it running; no patch file, nothing sent.
  bool read = false;
  // With read: the configuration read goes to this patch file.
  std::string saveFile;
  // In a patch run: the configuration read goes to this patch file before
  // anything is programmed.
  std::string backupFile;
  // saveFile and backupFile may replace an existing file.
  bool force = false;
  // After programming, read the board back and compare.
  bool verify = false;
  // The port to use, as the user gave it ("ttyUSB1", "/dev/ttyUSB1",
  // "COM7"); empty: the search.
  std::string port;
  // The serial port's transfer log; empty: none.
  std::string logFile;
};

// Replaces the run's stage operations as the options ask. Call before the
// run starts.
void InstallCliTasks(const TCliTaskOptions& options);

// Whether a read run ended with its configuration read (and saved, when
// asked).
bool CliReadSucceeded();

// The short port name for what the user typed: the device prefix and
// "/dev/" dropped (a link below /dev/ is followed to its tty).
std::string ShortPortName(const std::string& given);
