"""An INDI driver for the cameras orx sees (``orx-indi``, run by
``indiserver``): one INDI device per camera with INDI's standard camera
properties, images as FITS BLOBs built by :mod:`orxdevice.fits`, guiding
through the camera's ST4 port and video streaming. Built on the
``indipydriver`` library and the shared camera layer :mod:`orxdevice`."""
