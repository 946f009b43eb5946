#pragma once
// A loopback TCP port that nothing listens on right now, for tests that
// start a server of their own.
namespace testsupport {
int FreePort();
}
