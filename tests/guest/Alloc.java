// Allocates and touches 40 MB, as a small graded program might.
public class Alloc {
  public static void main(String[] args) {
    byte[][] blocks = new byte[40][];
    for (int i = 0; i < blocks.length; i++) {
      blocks[i] = new byte[1 << 20];
      java.util.Arrays.fill(blocks[i], (byte) i);
    }
    System.out.println("allocated " + blocks.length + " MiB");
  }
}
