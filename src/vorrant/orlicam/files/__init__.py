"""Files: FITS, SER, BMP, previews, file names and safe output. Writers take frames and
know nothing of cameras or plans."""
