// Selections and cut buffers in process against Xvfb, with a second client (selPeer) on a
// thread: the engine's text converted by the peer (INCR, MULTIPLE, TARGETS), the peer's
// selection read by 910 (INCR too, and cut buffer 0 when no one owns one), the cut-buffer
// and transfer-size resources, and a peer that never answers.
#include <fstream>
#include <future>
#include <thread>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "x11/x11Fixture.h"  // before Xlib: its None macro would break gtest
#include "x11/selPeer.h"

#include <X11/Xatom.h>
#include <cstring>

static std::string resources(const std::string& name, const std::string& text) {
  std::string path = testing::TempDir() + "/x11-sel-" + name;
  std::ofstream(path) << text;
  return path;
}

static std::string longText(size_t n) {
  std::string s;
  for (size_t i = 0; s.size() < n; i++) s += "line " + std::to_string(i) + "\n";
  s.resize(n);
  return s;
}

// The peer's conversion while the engine handles its events.
static PeerConversion convertWhilePumping(const char* selection, const char* target,
                                          const std::vector<const char*>& pairs = {}) {
  auto done = std::async(std::launch::async, peerConvert, getenv("TESSEL_X24"), selection, target, pairs);
  while (done.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) X11::pump();
  return done.get();
}

static std::string stringOf(oop s) {
  return std::string(reinterpret_cast<const char*>(bodyOf(headerOf(s))), byteSizeOf(headerOf(s)));
}

TEST_F(X11, X11_Selection_PeerConvertsTheEnginesTextThroughIncrMultipleAndTargets) {
  oop screen = openScreen("TESSEL_X24", resources("incr", "St80*incrSelectionTransferSize: 4096\n").c_str());
  std::string text = longText(100 * 1024);
  ASSERT_FALSE(callPrimitive(911, screen, {byteString(text.c_str()), smallIntegerFor(1)}).failed);

  PeerConversion whole = convertWhilePumping("PRIMARY", "STRING");
  EXPECT_TRUE(whole.answered);
  EXPECT_EQ(whole.type, XInternAtom(own, "INCR", False));
  EXPECT_EQ(whole.chunks, 25) << "100 KB in chunks of 4096";
  EXPECT_TRUE(whole.text == text) << "got " << whole.text.size() << " bytes";

  PeerConversion targets = convertWhilePumping("PRIMARY", "TARGETS");
  const char* offered[11] = {"LENGTH", "MULTIPLE", "TARGETS", "TIMESTAMP", "_SUN_SELN_FIRST", "_SUN_SELN_FIRST_UNIT",
                             "_SUN_SELN_LAST", "_SUN_SELN_LAST_UNIT", "_SUN_SELN_YIELD", "TEXT", "STRING"};
  ASSERT_EQ(targets.items.size(), 11u);
  for (int i = 0; i < 11; i++) EXPECT_EQ((Atom)targets.items[i], XInternAtom(own, offered[i], False)) << offered[i];

  PeerConversion length = convertWhilePumping("PRIMARY", "LENGTH");
  ASSERT_EQ(length.items.size(), 1u);
  EXPECT_EQ(length.items[0], (long)text.size());

  // MULTIPLE {LENGTH -> P1, FOO -> P2}: FOO's pair comes back as None.
  PeerConversion multiple = convertWhilePumping("PRIMARY", "MULTIPLE", {"LENGTH", "P1", "FOO", "P2"});
  EXPECT_TRUE(multiple.answered);
  ASSERT_EQ(multiple.items.size(), 4u);
  EXPECT_EQ((Atom)multiple.items[0], XInternAtom(own, "LENGTH", False));
  EXPECT_EQ((Atom)multiple.items[1], XInternAtom(own, "P1", False));
  EXPECT_EQ((Atom)multiple.items[3], (Atom)None);

  // SECONDARY is not the engine's, and a short text goes at once.
  EXPECT_FALSE(convertWhilePumping("SECONDARY", "STRING").answered);
  ASSERT_FALSE(callPrimitive(911, screen, {byteString("short"), smallIntegerFor(0)}).failed);
  PeerConversion clipboard = convertWhilePumping("CLIPBOARD", "STRING");
  EXPECT_EQ(clipboard.type, (Atom)XA_STRING);
  EXPECT_EQ(clipboard.text, "short");
}

TEST_F(X11, X11_Selection_TransferSizeAndCutBufferResources) {
  std::string text = longText(100 * 1024);
  struct Case {
    const char* resources;
    bool incr, cutBuffer;
  } cases[] = {{"St80*incrSelectionTransferSize: 0\n", false, true},
               {"St80*maxCutBufferLength: 0\n", false, false},
               {"St80*maxCutBufferLength: 10\nSt80*incrSelectionTransferSize: 60000\n", true, true}};
  int n = 0;
  for (const Case& c : cases) {
    XStoreBytes(own, "before", 6);
    XSync(own, False);
    oop screen = openScreen("TESSEL_X24", resources(std::to_string(n++), c.resources).c_str());
    ASSERT_FALSE(callPrimitive(911, screen, {byteString(text.c_str()), smallIntegerFor(1)}).failed);
    XSync(displayOf(screen), False);
    int size = 0;
    char* cut = XFetchBytes(own, &size);
    std::string cutText = cut != nullptr ? std::string(cut, (size_t)size) : "";
    if (cut != nullptr) XFree(cut);
    std::string want = !c.cutBuffer ? "before" : strstr(c.resources, "maxCut") ? text.substr(0, 10) : text;
    EXPECT_TRUE(cutText == want) << c.resources << " cut buffer 0 holds " << cutText.size() << " bytes";
    PeerConversion got = convertWhilePumping("PRIMARY", "STRING");
    EXPECT_EQ(got.type, c.incr ? XInternAtom(own, "INCR", False) : (Atom)XA_STRING) << c.resources;
    EXPECT_TRUE(got.text == text) << c.resources << ": " << got.text.size() << " bytes";
  }
}

TEST_F(X11, X11_Selection_ReadsThePeersSelectionThenCutBufferZero) {
  oop screen = openScreen("TESSEL_X24", resources("read", "St80*selectionTimeout: 300\n").c_str());
  struct Case {
    std::string text;
    long chunk, announced;
  } cases[] = {{"peer text", 0, -1}, {longText(300 * 1024), 8192, -1}, {longText(50000), 4096, 100}};
  for (const Case& c : cases) {
    std::atomic<bool> ready{false}, stop{false};
    std::thread peer(peerServe, getenv("TESSEL_X24"), "PRIMARY", c.text, c.chunk, false, &ready, &stop, c.announced);
    while (!ready.load()) std::this_thread::yield();
    PrimOutcome r = callPrimitive(910, screen, {smallIntegerFor(0)});
    stop.store(true);
    peer.join();
    ASSERT_FALSE(r.failed);
    ASSERT_NE(r.result, nilOop());
    EXPECT_TRUE(stringOf(r.result) == c.text) << stringOf(r.result).size() << " bytes of " << c.text.size();
  }
  // The peer has gone: no owner of PRIMARY or CLIPBOARD, so cut buffer 0; nil when empty.
  XStoreBytes(own, "from the cut buffer", 19);
  XSync(own, False);
  PrimOutcome r = callPrimitive(910, screen, {smallIntegerFor(0)});
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(stringOf(r.result), "from the cut buffer");
  XStoreBytes(own, "", 0);
  XSync(own, False);
  EXPECT_EQ(callPrimitive(910, screen, {smallIntegerFor(0)}).result, nilOop());
  EXPECT_EQ(callPrimitive(910, screen, {smallIntegerFor(1)}).result, nilOop()) << "PRIMARY alone";

  // A peer that owns PRIMARY and never answers: nil after the timeout, and the engine goes on.
  std::atomic<bool> ready{false}, stop{false};
  std::thread silent(peerServe, getenv("TESSEL_X24"), "PRIMARY", std::string("unsaid"), 0L, true, &ready, &stop, -1L);
  while (!ready.load()) std::this_thread::yield();
  PrimOutcome quiet = callPrimitive(910, screen, {smallIntegerFor(1)});
  stop.store(true);
  silent.join();
  ASSERT_FALSE(quiet.failed);
  EXPECT_EQ(quiet.result, nilOop());
  EXPECT_FALSE(callPrimitive(911, screen, {byteString("after"), smallIntegerFor(1)}).failed);
  EXPECT_EQ(stringOf(callPrimitive(910, screen, {smallIntegerFor(1)}).result), "after") << "its own text";
}
