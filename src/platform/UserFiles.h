// SPDX-License-Identifier: MIT
// Where the program keeps the files the user changes: the settings file, the send history, the
// registered texts and the page files. They lie beside the executable of a portable copy whose
// folder is writable (the build folder, a copy of the program in a folder of its own). An installed
// program (under /usr or /opt, or laid out as an installation with share/quorvel beside its bin)
// keeps them in the user's configuration folder, $XDG_CONFIG_HOME/Quorvel/ (~/.config/Quorvel/ by
// default), even when its folder can be written, as it always can by root.
// Which of the two is decided once, at the first use, for the whole run.
#pragma once

#include <string>

namespace platform
{

// The folder the program writes its files to, ending in '/'; not created here.
std::string UserFileDir();
// UserFileDir(), created with its parents first when it is missing. When that fails the folder is
// returned all the same: the writes into it then fail and report it.
std::string MakeUserFileDir();

// The file `name` to read. Where the program writes it (UserFileToWrite), unless that is in the
// user's folder and no copy is there yet: then the copy beside the executable, so that a file that
// lies there but cannot be written is still read.
std::string UserFileToRead(const std::string &name);
// The file `name` to write: beside the executable when the program keeps its files there and the
// file there, if there is one, can be written; otherwise in the user's folder, which is created.
std::string UserFileToWrite(const std::string &name);
// Where UserFileToWrite puts the file `name`, without creating anything: the file to name to a user
// who is to edit it, also before the program has written it.
std::string UserFilePath(const std::string &name);

// The settings file's name: the executable's name with the extension ".ini" (Quorvel.ini).
std::string SettingsFileName();

// The user's folder for the program's files, ending in '/': "Quorvel/" in $XDG_CONFIG_HOME when that
// is an absolute path, else in $HOME/.config (the home folder of the account when HOME is unset).
// Read from the environment at every call. Empty when no home folder is known.
std::string ConfigFileDir();

} // namespace platform
