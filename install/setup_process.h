#pragma once
// Hands the product's setup program (or a folder) to the system.
// Nothing is reported: a program that cannot be started leaves no trace, as on the shell.
#include <string>

// Starts the program at the absolute path detached, without parameters and with the launcher's
// working folder, and returns at once; a folder is opened in the file browser instead.
void StartProcess(const std::u16string& path);
// Opens a folder (or mount point) in the file browser, when the system has one.
void OpenInFileBrowser(const std::u16string& path);
