"""Simulated server for fwkit's end-to-end tests and demo.

  description   the server description: its keys, each with its check
  testbed       the umockdev testbed of a server's PCI functions
  repository    image files, the catalog, and a fresh working directory with its launchers
  state         the simulator state in DIR/nic_fw/.sim/: server.json, its lock, the call log
  mstflint      the stand-in firmware tool (DIR/nic_fw/mstflint starts it)
  getmlnxinfo   the stand-in image-information tool (DIR/getmlnxinfo starts it)
  cli           the generator and helper command line (sim/fwsim.py)

The stand-ins find their state from their own location, with no environment variable and no fixed
path, so any number of working directories can be used at the same time. This file stays empty of
code: a stand-in's start imports only the modules it needs.
"""
