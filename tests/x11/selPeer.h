// Test tooling: a second Xlib client for the selection tests, run on a thread of the test
// with a connection of its own: it converts another client's selection (following INCR)
// and owns and serves one of its own.
#pragma once
#include <X11/Xlib.h>

#include <atomic>
#include <string>
#include <vector>

struct PeerConversion {
  bool answered = false;  // a SelectionNotify with a property came
  Atom type = None;       // the property's first type (INCR for a transfer)
  std::string text;       // the bytes, all chunks gathered
  std::vector<long> items;  // format 32 items
  int chunks = 0;         // INCR chunks received
};

// Converts selection to target on the server (a MULTIPLE list of {target, property} when
// pairs is given, read back after the answer into conversion.items).
PeerConversion peerConvert(const char* server, const char* selection, const char* target,
                           const std::vector<const char*>& pairs = {});

// Owns the selection with the text and answers STRING requests (INCR with the chunk size
// when the text is longer) until stop is set; with silent it answers nothing at all.
// ready is set once it owns the selection. announced: the size an INCR transfer announces
// (-1: the text's; a sender may send more than it announced).
void peerServe(const char* server, const char* selection, const std::string& text, long chunk, bool silent,
               std::atomic<bool>* ready, std::atomic<bool>* stop, long announced = -1);
