package Quillmere.ImageProcessing;

import java.util.Random;

/**
 * Checks the native texture maps from Java: closed-form windows, border band, a plain
 * Java evaluation of the co-occurrence steps on random volumes, and refused arguments.
 * Exits with status 1 when any check fails.
 */
public final class CooccurenceMatrixTest {
    private static int failures = 0;
    private static int checks = 0;

    private CooccurenceMatrixTest() {
    }

    private static void check(boolean ok, String what) {
        checks++;
        if (!ok) {
            failures++;
            System.err.println("FAIL: " + what);
        }
    }

    /** The ten four-direction averages of one interior voxel, evaluated over full L x L matrices. */
    static float[] denseVoxel(int[] img, int X, int Y, int P, int Q, int L, int x, int y, int z) {
        int[][] dirs = {{1, 0, -1, 0, 0}, {0, 1, 0, 0, -1}, {1, -1, -1, 1, 0}, {1, 1, -1, 0, -1}};
        float[] acc = new float[10];
        for (int[] dir : dirs) {
            int dx = dir[0];
            int dy = dir[1];
            float[][] c = new float[L][L];
            for (int i = 0; i < L; i++) {
                for (int k = 0; k < L; k++) {
                    int n = 0;
                    for (int r = y - Q + dir[3]; r <= y + Q + dir[4]; r++) {
                        for (int u = x - P; u <= x + P + dir[2]; u++) {
                            if (img[u + X * (r + Y * z)] == i && img[u + dx + X * (r + dy + Y * z)] == k) {
                                n++;
                            }
                        }
                    }
                    c[i][k] = n;
                }
            }
            float[][] s = new float[L][L];
            for (int i = 0; i < L; i++) {
                for (int k = 0; k < L; k++) {
                    s[i][k] = i == k ? 2 * c[i][i] : c[i][k] + c[k][i];
                }
            }
            int total = 0;
            for (int i = 0; i < L; i++) {
                for (int k = 0; k < L; k++) {
                    total = (int) ((float) total + s[i][k]);
                }
            }
            if (total != 0) {
                for (int i = 0; i < L; i++) {
                    for (int k = 0; k < L; k++) {
                        s[i][k] = s[i][k] / total;
                    }
                }
            }
            float mu = 0;
            float nu = 0;
            for (int i = 0; i < L; i++) {
                for (int j = 0; j < L; j++) {
                    mu += i * s[i][j];
                    nu += j * s[i][j];
                }
            }
            float var = 0;
            float tau = 0;
            float con = 0;
            float dis = 0;
            float hom = 0;
            float asm = 0;
            float max = 1.17549435e-38f;
            float ent = 0;
            for (int i = 0; i < L; i++) {
                for (int j = 0; j < L; j++) {
                    float p = s[i][j];
                    var += (i - mu) * (i - mu) * p;
                    tau += (j - nu) * (j - nu) * p;
                    con += (float) (i - j) * (i - j) * p;
                    dis += Math.abs((float) (i - j)) * p;
                    hom += p / ((float) (i - j) * (i - j) + 1);
                    asm += p * p;
                    max = Math.max(max, p);
                    if (p > 0) {
                        ent -= p * (float) Math.log(p);
                    }
                }
            }
            float cor = 0;
            float den = (float) Math.sqrt(tau * var);
            for (int i = 0; i < L; i++) {
                for (int j = 0; j < L; j++) {
                    cor += (j - nu) * (i - mu) * s[i][j] / den;
                }
            }
            float[] f = {con, dis, hom, asm, (float) Math.sqrt(asm), max, ent, mu, cor, var};
            for (int i = 0; i < 10; i++) {
                acc[i] = (float) ((double) acc[i] + 0.25 * (double) f[i]);
            }
        }
        return acc;
    }

    private static boolean interior(int x, int y, int X, int Y, int P, int Q) {
        return x >= P && x < X - P && y >= Q && y < Y - Q;
    }

    private static void compareWithDense(long seed, int X, int Y, int Z, int P, int Q, int L) {
        Random rnd = new Random(seed);
        int[] img = new int[X * Y * Z];
        for (int i = 0; i < img.length; i++) {
            // Mostly in range, some values below 0 and at or above L.
            img[i] = rnd.nextInt(L + 3) - 1;
        }
        float[][] maps = CooccurenceMatrix.nativeTexelMatrix(img, X, Y, Z, P, Q, L);
        String tag = "random volume seed=" + seed + " X=" + X + " Y=" + Y + " Z=" + Z
            + " P=" + P + " Q=" + Q + " L=" + L;
        check(maps.length == 10, tag + ": ten maps");
        int bad = 0;
        for (int z = 0; z < Z; z++) {
            for (int y = 0; y < Y; y++) {
                for (int x = 0; x < X; x++) {
                    int idx = x + X * (y + Y * z);
                    float[] want = interior(x, y, X, Y, P, Q) ? denseVoxel(img, X, Y, P, Q, L, x, y, z) : new float[10];
                    for (int f = 0; f < 10; f++) {
                        float got = maps[f][idx];
                        boolean ok;
                        if (f == 6) {
                            // Entropy: Java has no single-precision logarithm; allow its rounding.
                            ok = Math.abs(got - want[f]) <= 1e-5f * Math.max(1f, Math.abs(want[f]));
                        } else {
                            ok = Float.floatToIntBits(got) == Float.floatToIntBits(want[f]);
                        }
                        if (!ok && bad++ < 5) {
                            System.err.println(tag + ": feature " + f + " at (" + x + "," + y + "," + z
                                + ") got " + got + " want " + want[f]);
                        }
                    }
                }
            }
        }
        check(bad == 0, tag + ": agreement with the dense evaluation (" + bad + " mismatches)");
    }

    private static void constantWindow() {
        int X = 7;
        int Y = 6;
        int g = 3;
        int[] img = new int[X * Y];
        java.util.Arrays.fill(img, g);
        float[][] m = CooccurenceMatrix.nativeTexelMatrix(img, X, Y, 1, 1, 1, 8);
        int idx = 2 + X * 2;
        check(m[0][idx] == 0f && m[1][idx] == 0f && m[6][idx] == 0f, "constant window: contrast, dissimilarity, entropy 0");
        check(m[2][idx] == 1f && m[3][idx] == 1f && m[4][idx] == 1f && m[5][idx] == 1f,
            "constant window: homogeneity, asm, energy, max probability 1");
        check(m[7][idx] == g, "constant window: GLCM mean is the grey level");
        check(m[9][idx] == 0f, "constant window: GLCM variance 0");
        check(Float.isNaN(m[8][idx]), "constant window: correlation NaN");
        // First interior column computed, column X-P zero.
        check(m[7][1 + X * 2] == g, "first interior column is computed");
        check(m[7][(X - 1) + X * 2] == 0f && m[7][2 + X * (Y - 1)] == 0f, "border band is 0");
    }

    private static void borderOnly() {
        int X = 6;
        int Y = 5;
        int Z = 2;
        int[] img = new int[X * Y * Z];
        for (int i = 0; i < img.length; i++) {
            img[i] = i % 4;
        }
        float[][] m = CooccurenceMatrix.nativeTexelMatrix(img, X, Y, Z, 3, 1, 4);
        boolean zeros = m.length == 10;
        for (float[] a : m) {
            zeros &= a.length == X * Y * Z;
            for (float v : a) {
                zeros &= Float.floatToIntBits(v) == 0;
            }
        }
        check(zeros, "window wider than the image: ten arrays of +0");
        float[][] huge = CooccurenceMatrix.nativeTexelMatrix(img, X, Y, Z, Integer.MAX_VALUE, 1_000_000_000, 4);
        boolean hugeZeros = huge.length == 10;
        for (float[] a : huge) {
            for (float v : a) {
                hugeZeros &= Float.floatToIntBits(v) == 0;
            }
        }
        check(hugeZeros, "window of half size 2^31-1: ten arrays of +0, no allocation failure");
    }

    private static void refused(String what, int[] img, int X, int Y, int Z, int P, int Q, int L) {
        try {
            CooccurenceMatrix.nativeTexelMatrix(img, X, Y, Z, P, Q, L);
            check(false, what + ": no exception");
        } catch (IllegalArgumentException e) {
            check(e.getMessage() != null && !e.getMessage().isEmpty(), what + ": message present");
        }
    }

    private static void badArguments() {
        int[] small = new int[24];
        refused("null image", null, 2, 3, 4, 0, 0, 4);
        refused("array too short", small, 5, 5, 1, 0, 0, 4);
        refused("zero width", small, 0, 3, 4, 0, 0, 4);
        refused("negative height", small, 2, -3, 4, 0, 0, 4);
        refused("zero slices", small, 2, 3, 0, 0, 0, 4);
        refused("negative P", small, 2, 3, 4, -1, 0, 4);
        refused("negative Q", small, 2, 3, 4, 0, -2, 4);
        refused("no grey levels", small, 2, 3, 4, 0, 0, 0);
        refused("X*Y*Z beyond 32 bits", small, 65536, 65536, 2, 0, 0, 4);
        refused("X*Y*Z wrapping to a small 32-bit value", small, 65536, 65536, 1, 0, 0, 4);
    }

    /** Calls from several Java threads at once share nothing and give identical maps. */
    private static void concurrentCalls() {
        final int X = 20;
        final int Y = 16;
        final int Z = 3;
        Random rnd = new Random(9);
        final int[] img = new int[X * Y * Z];
        for (int i = 0; i < img.length; i++) {
            img[i] = rnd.nextInt(8);
        }
        final int[] copy = img.clone();
        final float[][] first = CooccurenceMatrix.nativeTexelMatrix(img, X, Y, Z, 2, 1, 8);
        final boolean[] same = new boolean[4];
        Thread[] threads = new Thread[4];
        for (int t = 0; t < threads.length; t++) {
            final int slot = t;
            threads[t] = new Thread(() -> {
                boolean ok = true;
                for (int rep = 0; rep < 3; rep++) {
                    float[][] m = CooccurenceMatrix.nativeTexelMatrix(img, X, Y, Z, 2, 1, 8);
                    for (int f = 0; f < 10; f++) {
                        ok &= java.util.Arrays.equals(first[f], m[f]);
                    }
                }
                same[slot] = ok;
            });
            threads[t].start();
        }
        for (Thread t : threads) {
            try {
                t.join();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        for (int t = 0; t < threads.length; t++) {
            check(same[t], "concurrent call from thread " + t + " gives the same maps");
        }
        check(java.util.Arrays.equals(img, copy), "the image array is left unchanged");
    }

    public static void main(String[] args) {
        concurrentCalls();
        constantWindow();
        borderOnly();
        badArguments();
        compareWithDense(1, 12, 10, 3, 2, 2, 5);
        compareWithDense(2, 9, 8, 2, 0, 1, 4);
        compareWithDense(3, 10, 9, 20, 1, 0, 3);
        compareWithDense(4, 8, 8, 1, 1, 2, 1);
        System.out.println(checks + " checks, " + failures + " failures");
        System.exit(failures == 0 ? 0 : 1);
    }
}
