// Menu: the single-key menu and the erase and program flows.
#pragma once

constexpr const char *kProgramVersion = "CTFlash Version 2.0.3";
constexpr const char *kDriverVersion = "2.1.6";
constexpr int kKeyEscape = 27;
constexpr unsigned kProgressStep = 0x400;  // one '=' per this many bytes programmed

// Results of a flow.
constexpr int FLOW_DONE = 0;   // back to the menu
constexpr int FLOW_EXIT = 1;   // the program ends with status 1

extern int g_answer;  // key of the last confirmation or "press any key" prompt

void showMenu();

// Erases one block (or the two of a two-block image) after a confirmation.
void eraseFlow();

// Loads the image file and programs it into a free block.
int programFlow();

// Writes the image buffer into the flash from block's start and reads
// back what the file filled. 0 when written and verified, -1 otherwise.
int programBlock(int block);

// Runs the menu until the user quits (or input ends); returns the exit
// status of the program.
int menuLoop();
