// Data of a NIfTI image whose header was read without them.
#pragma once

// Loads the nvox values of `image` (a nifti_image* read without its data) from its own data
// file (iname at iname_offset, gzip or plain by that name), swapped to the CPU's byte order,
// non-finite float values set to 0 as the NIfTI library's loader does. Its loader is not used: for "x.nii.gz" with a plain "x.nii"
// beside it, it reads the data from "x.nii". 0, or -1 when the data are not all there.
int qorvane_nifti_load(void* image);
