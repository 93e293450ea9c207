// The desktop programs' one optional argument: the patch file, or the folder
// that holds it. Explorer passes a file dropped onto the exe that way, and
// the Linux desktop entry passes the file chosen with "Open with"; without
// it the program keeps its working directory (the exe's folder when started
// from Explorer, often the home directory from a Linux menu).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Makes the argument's folder the working directory, where the run reads
// "Quorvaltine.ini". Returns the empty string on success, otherwise the
// message that refuses the argument (the working directory is unchanged).
std::string EnterPatchFolder(const std::filesystem::path& argument);

// The program's start with its arguments (the program name excluded): zero
// arguments leave everything as it is, one is entered as above, more are
// refused. A refusal is shown as an error box on the installed toolkit and
// the result is false: the program then ends without a run.
bool AcceptStartArguments(const std::vector<std::filesystem::path>& arguments);
