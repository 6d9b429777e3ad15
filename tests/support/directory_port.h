// The directory host's port in the test builds.
#pragma once

// The port of the directory host that the test builds are made with
// (CHANNEL_TEST_HOST): the loopback server that stands in for the directory
// has to listen there.
unsigned short DirectoryPort();
