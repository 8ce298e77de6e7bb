// C interface: the user-primitive toolkit (the UP family, exported through
// include/tessel/oe.h): argument checks that fail the running user primitive, answering and
// failing it, registering user primitives. Owns upArgumentChecking and upErrorHandler.
// Prefix: UP (exported), none (initUserPrimitives).
#pragma once

// Start-up: the user-primitive set-up (the poll handler's request server).
void initUserPrimitives();
