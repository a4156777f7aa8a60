"""quorvex: host-side control of networked RF beamforming devices.

- ``quorvex.QVRFpga.FpgaTool`` updates a device's FPGA image over the network.
- ``quorvex.qvrdev.LobeSwitchDirector.LobeSwitchDirector`` gives device
  classes fast beam switching.
- ``quorvex.tbin`` makes and describes ``.tbin`` update images.
- ``quorvex.emulator`` is a device emulator for tests and demos.

Importing the package loads none of the native modules.
"""

__version__ = "0.1.0"
