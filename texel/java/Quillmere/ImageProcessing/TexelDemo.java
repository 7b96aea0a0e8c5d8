package Quillmere.ImageProcessing;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * Computes the ten texture maps of a plain (P2) or raw (P5, 8-bit) PGM image and writes
 * each map as an 8-bit PGM scaled from its smallest to its largest finite value.
 *
 * <p>Usage: TexelDemo input.pgm output_dir P Q L
 */
public final class TexelDemo {
    private TexelDemo() {
    }

    /** Width, height and grey values of a PGM file. */
    static int[] readPgm(Path file, int[] size) throws IOException {
        byte[] data = Files.readAllBytes(file);
        int[] pos = {0};
        String magic = token(data, pos);
        if (!magic.equals("P2") && !magic.equals("P5")) {
            throw new IOException(file + ": not a PGM file");
        }
        int w = Integer.parseInt(token(data, pos));
        int h = Integer.parseInt(token(data, pos));
        int maxval = Integer.parseInt(token(data, pos));
        if (w <= 0 || h <= 0 || maxval <= 0 || maxval > 255 || (long) w * h > Integer.MAX_VALUE) {
            throw new IOException(file + ": unsupported PGM header");
        }
        int[] pixels = new int[w * h];
        if (magic.equals("P2")) {
            for (int i = 0; i < pixels.length; i++) {
                pixels[i] = Integer.parseInt(token(data, pos));
            }
        } else {
            int start = pos[0] + 1;
            if (data.length - start < pixels.length) {
                throw new IOException(file + ": truncated PGM data");
            }
            for (int i = 0; i < pixels.length; i++) {
                pixels[i] = data[start + i] & 0xff;
            }
        }
        size[0] = w;
        size[1] = h;
        return pixels;
    }

    private static String token(byte[] data, int[] pos) throws IOException {
        int i = pos[0];
        while (i < data.length) {
            if (data[i] == '#') {
                while (i < data.length && data[i] != '\n') {
                    i++;
                }
            } else if (Character.isWhitespace(data[i])) {
                i++;
            } else {
                break;
            }
        }
        int start = i;
        while (i < data.length && !Character.isWhitespace(data[i])) {
            i++;
        }
        if (start == i) {
            throw new IOException("unexpected end of PGM data");
        }
        pos[0] = i;
        return new String(data, start, i - start, StandardCharsets.US_ASCII);
    }

    static void writePgm(Path file, float[] map, int w, int h) throws IOException {
        float lo = Float.POSITIVE_INFINITY;
        float hi = Float.NEGATIVE_INFINITY;
        for (float v : map) {
            if (Float.isFinite(v)) {
                lo = Math.min(lo, v);
                hi = Math.max(hi, v);
            }
        }
        double scale = hi > lo ? 255.0 / ((double) hi - lo) : 0.0;
        try (OutputStream out = new BufferedOutputStream(Files.newOutputStream(file))) {
            out.write(("P5\n" + w + " " + h + "\n255\n").getBytes(StandardCharsets.US_ASCII));
            for (float v : map) {
                int g = Float.isFinite(v) ? (int) Math.round((v - lo) * scale) : 0;
                out.write(Math.max(0, Math.min(255, g)));
            }
        }
    }

    public static void main(String[] args) throws IOException {
        if (args.length != 5) {
            System.err.println("usage: TexelDemo input.pgm output_dir P Q L");
            System.exit(2);
        }
        int[] size = new int[2];
        int[] image = readPgm(Paths.get(args[0]), size);
        Path outDir = Paths.get(args[1]);
        Files.createDirectories(outDir);
        int p = Integer.parseInt(args[2]);
        int q = Integer.parseInt(args[3]);
        int levels = Integer.parseInt(args[4]);
        float[][] maps = CooccurenceMatrix.nativeTexelMatrix(image, size[0], size[1], 1, p, q, levels);
        for (int f = 0; f < maps.length; f++) {
            Path file = outDir.resolve(String.format("%02d_%s.pgm", f, CooccurenceMatrix.FEATURE_NAMES[f]));
            writePgm(file, maps[f], size[0], size[1]);
            System.out.println(file);
        }
    }
}
