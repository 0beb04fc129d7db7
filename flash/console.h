// Console: single keys, block numbers, the wait for Return and colours.
// Keys and numbers share one input path on descriptor 0, so a script
// piped into the program is read in order.
#pragma once
#include <csignal>

// Standard input reached its end (or failed), or the terminal hung up.
extern volatile sig_atomic_t g_inputEnded;

// Handlers for the signals that end a run: SIGINT, SIGTERM and SIGQUIT
// put back the terminal settings a key read changed and then end the
// program as the signal does; SIGHUP puts them back and ends the input, so
// that the menu ends the run as Quit does once the command under way is
// done. A signal ignored by whoever started the program stays ignored.
void restoreTerminalOnSignals();

// Prints "\e[a;b;cm".
void SetConsoleTextAttribute(int a, int b, int c);

// 1 when input is waiting on standard input, else 0. Never reads.
int kbhit();

// The next key: on a terminal one raw key (type-ahead discarded); otherwise
// the next byte as it comes. -1 when no key could be read.
int my_getch();

// Prints msg and waits for a line (Return) without reading it on a
// terminal; on other input consumes the line.
void WaitForKeyPress(const char *msg);

// Reads a decimal block number from a line; the rest of the line is
// dropped. 0 with *value set, -1 when no number could be read.
int readBlockNumber(int *value);

// Forgets buffered input and a seen end of input (standard input replaced).
void consoleResetInput();
