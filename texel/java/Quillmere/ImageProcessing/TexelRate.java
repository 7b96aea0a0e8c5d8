package Quillmere.ImageProcessing;

/**
 * Times the whole JNI path on a random volume: one warm-up call, then the best of two
 * calls. Prints the rate and, per map, the sum of its finite values (to compare runs on
 * the GPU and on the CPU path).
 *
 * <p>Usage: TexelRate X Y Z P Q L
 */
public final class TexelRate {
    private TexelRate() {
    }

    public static void main(String[] args) {
        if (args.length != 6) {
            System.err.println("usage: TexelRate X Y Z P Q L");
            System.exit(2);
        }
        int[] v = new int[6];
        for (int i = 0; i < 6; i++) {
            v[i] = Integer.parseInt(args[i]);
        }
        int x = v[0], y = v[1], z = v[2], p = v[3], q = v[4], levels = v[5];
        int[] image = new int[x * y * z];
        long seed = 12345;
        for (int i = 0; i < image.length; i++) {
            seed = seed * 6364136223846793005L + 1442695040888963407L;
            image[i] = (int) ((seed >>> 33) % levels);
        }
        CooccurenceMatrix.nativeTexelMatrix(image, x, y, z, p, q, levels);
        double best = Double.MAX_VALUE;
        float[][] maps = null;
        for (int run = 0; run < 2; run++) {
            long t0 = System.nanoTime();
            maps = CooccurenceMatrix.nativeTexelMatrix(image, x, y, z, p, q, levels);
            best = Math.min(best, (System.nanoTime() - t0) * 1e-9);
        }
        System.out.printf("JNI %d x %d x %d, P=%d Q=%d L=%d: %.3f s = %.0f voxels/s%n", x, y, z, p, q, levels, best,
                image.length / best);
        StringBuilder sums = new StringBuilder("sums");
        for (float[] m : maps) {
            double s = 0;
            for (float f : m) {
                if (!Float.isNaN(f)) {
                    s += f;
                }
            }
            sums.append(String.format(" %.9e", s));
        }
        System.out.println(sums);
    }
}
