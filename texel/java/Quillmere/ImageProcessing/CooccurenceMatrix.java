package Quillmere.ImageProcessing;

/**
 * Grey-level co-occurrence texture maps of an image volume, computed by the native library
 * libnativeTexelMatrix (on a CUDA GPU when one is usable, else with CPU worker threads).
 *
 * <p>The library is loaded from java.library.path, or from the absolute path in the system
 * property {@code texel.library} when that is set.
 */
public final class CooccurenceMatrix {
    /** Names of the ten maps, in the order the native method returns them. */
    public static final String[] FEATURE_NAMES = {
        "contrast", "dissimilarity", "homogeneity", "asm", "energy",
        "max_probability", "entropy", "glcm_mean", "correlation", "glcm_variance"
    };

    static {
        String path = System.getProperty("texel.library");
        if (path != null && !path.isEmpty()) {
            System.load(path);
        } else {
            System.loadLibrary("nativeTexelMatrix");
        }
    }

    private CooccurenceMatrix() {
    }

    /**
     * Computes the ten texture maps.
     *
     * @param image grey levels, element x + X*(y + Y*z); values outside 0..L-1 are not counted
     * @param X width, Y height, Z number of slices (all positive)
     * @param P half window width, Q half window height (not negative)
     * @param L number of grey levels (at least 1)
     * @return ten arrays of X*Y*Z floats; voxels whose window leaves the slice are 0
     * @throws IllegalArgumentException when the sizes are invalid or the array is too short
     */
    public static native float[][] nativeTexelMatrix(int[] image, int X, int Y, int Z, int P, int Q, int L);
}
