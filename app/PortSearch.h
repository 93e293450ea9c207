// Finding the board's port: the search of the run's first stage, the
// test-open of a port and the user's pick in the port list
// (TMainForm::ComboBoxChange).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The prefix of every device name of a port.
inline constexpr const char* kDevicePathPrefix = "\\\\.\\";
// The DOS device name of an adapter of the board's type begins with it.
inline constexpr const char* kBoardAdapterPrefix = "FTDIBUS#VID_0403+PID_6001+";
// The adapter's serial number and channel letter: at most this many
// characters after the prefix.
constexpr std::size_t kAdapterSerialLength = 9;
// The room for the registry's port name, not counting its terminating NUL.
constexpr std::uint32_t kPortNameValueRoom = 200;

// Opens the port by its short name exclusively and closes it again: true when
// that worked. On success it shows the name in the port list, sets the port's
// device name and enables the controls; on failure it shows why.
bool ProbePort(const std::string& name);
