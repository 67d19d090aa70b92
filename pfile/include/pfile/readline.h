// pfile/readline.h -- the query line editor: reads one line from the terminal
// device itself (so a query works with standard input redirected), with control
// keys for editing and a short history of candidate values. Echo goes to
// standard error. Used when a parameter value is asked of the user.
#pragma once

/// Longest line the editor returns; callers pass a buffer of READLINE_BUFSIZE bytes.
constexpr int READLINE_MAXLINE = 2047;
constexpr int READLINE_BUFSIZE = READLINE_MAXLINE + 1;

/// One history entry; entries form a doubly linked list, oldest first.
struct hist {
  char* line = nullptr;  // private copy of the text
  hist* prev = nullptr;  // older entry, or null
  hist* next = nullptr;  // newer entry, or null
};

/// Appends a copy of line after the newest entry of the list that history belongs
/// to (history null starts a new list) and returns the new newest entry. A null
/// line is stored as "". Returns history unchanged when memory runs out.
hist* add_history(hist* history, const char* line);
/// Frees entry and every newer one; the older neighbour (if any) becomes the newest.
/// Null is ignored.
void kil_history(hist* entry);

/// Shows prompt on standard error and edits one line read from "/dev/tty" into
/// line (a buffer of max bytes; at most min(max-1, READLINE_MAXLINE) characters are
/// kept, always terminated). history is the newest entry of the list browsed with
/// Ctrl-P/Ctrl-N, or null. Returns the length of the accepted line; 0 when input
/// ended (end of file on an empty line, or a failed read); -1 when the terminal
/// cannot be opened or line/max are unusable. The terminal settings are restored
/// before every return. The interrupt key ends the process with status 1.
int readline(const char* prompt, char* line, int max, hist* history);

/// Puts the terminal on fd into the editing settings: non-canonical one-character
/// reads without timeout, no echo; the terminal's interrupt, quit and suspend keys
/// arrive as characters for the editor to act on. Entering twice has no further
/// effect. Returns 0, or -1 when fd is not a terminal.
int set_termio(int fd);
/// Restores the settings saved by set_termio; does nothing when they are not in
/// force. Returns 0, or -1 when the terminal refuses the settings.
int reset_termio(int fd);
