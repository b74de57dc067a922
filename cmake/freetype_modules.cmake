# FreeType's modules.cfg for the installer program (see
# static_freetype.cmake), written over the source's before it is
# configured. SOURCE is the unpacked source tree.
file(WRITE ${SOURCE}/modules.cfg "FONT_MODULES += truetype
FONT_MODULES += cff
FONT_MODULES += sfnt
HINTING_MODULES += autofit
HINTING_MODULES += pshinter
RASTER_MODULES += smooth
RASTER_MODULES += raster
AUX_MODULES += psaux
AUX_MODULES += psnames
AUX_MODULES += gzip
BASE_EXTENSIONS += ftbbox.c
BASE_EXTENSIONS += ftbdf.c
BASE_EXTENSIONS += ftbitmap.c
BASE_EXTENSIONS += ftcid.c
BASE_EXTENSIONS += ftfstype.c
BASE_EXTENSIONS += ftgasp.c
BASE_EXTENSIONS += ftglyph.c
BASE_EXTENSIONS += ftmm.c
BASE_EXTENSIONS += ftpatent.c
BASE_EXTENSIONS += ftsynth.c
BASE_EXTENSIONS += fttype1.c
BASE_EXTENSIONS += ftwinfnt.c
")
