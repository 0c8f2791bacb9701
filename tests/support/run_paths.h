// The paths and texts of a run of "C:\Books\My Great Book.exe" on the
// simulation's default folders, shared by the launch sequence tests.
#pragma once

namespace run_paths {

const char PACKAGE[] = "C:\\Books\\My Great Book.exe";
const char LIBRARY[] = "C:\\Users\\reader\\Documents\\My eBooks";
const char COPY[] = "C:\\Users\\reader\\Documents\\My eBooks\\My_Great_Book.bkr";
const char LINK[] = "C:\\Users\\reader\\Desktop\\My_Great_Book.lnk";
const char READER[] = "C:\\Windows\\bkplugin.exe";
const char ENTRY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\My_Great_Book";
const char QUESTION[] =
    "A different version of this file already exists in your 'My eBooks' folder.\n\n"
    "Would you like to overwrite this file?  Click 'No' to select a different location.";

}  // namespace run_paths
