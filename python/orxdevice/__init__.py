"""Camera logic shared by the front ends: the example scripts, the network
servers and device drivers.

- :mod:`orxdevice.camera`: frames on the binned sensor for network clients,
  the exposure steps.
- :mod:`orxdevice.bayer`: the colour filter pattern of the pixels a frame
  actually delivers, given the sensor's pattern, the region's start and the
  flip (a region starting on an odd row or column starts on another colour).
- :mod:`orxdevice.fits`: FITS headers with what processing software looks for
  (exposure, gain and electrons per ADU, temperatures, optics, pointing,
  Bayer pattern, the simulated sky's WCS) and files written whole or not at
  all under names that are never reused.

Importing this package imports nothing heavy; :mod:`orxdevice.camera` and
:mod:`orxdevice.fits` need numpy (and the latter astropy).
"""
