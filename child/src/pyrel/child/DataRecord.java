package pyrel.child;

import java.time.Instant;

/**
 * One data record from the bridge, parsed strictly:
 * "$DATAv3," sequence "," time "," 64 x (" " hh) "," status "," name, without the line end.
 */
public record DataRecord(int sequence, long timeMs, byte[] sample, int status, String statusName) {

  public static final String TAG = "$DATAv3,";
  public static final int SAMPLE_SIZE = 64;

  /** The name that belongs to a status code. */
  public static String nameOf(int status) {
    return switch (status) {
      case 0 -> "Success";
      case 2 -> "No Device";
      case 3 -> "Read Failed";
      case 4 -> "Bad Data";
      default -> "No DLL";
    };
  }

  /** Parses a record line (without its CR LF); throws with the reason when it is malformed. */
  public static DataRecord parse(String line) throws MalformedRecordException {
    if (!line.startsWith(TAG)) {
      throw new MalformedRecordException("does not start with " + TAG);
    }
    String[] fields = line.substring(TAG.length()).split(",", -1);
    if (fields.length != 5) {
      throw new MalformedRecordException("has " + fields.length + " fields instead of 5");
    }
    int sequence = (int) parseDecimal(fields[0], "sequence number", Integer.MAX_VALUE);
    long timeMs = parseDecimal(fields[1], "time stamp", Long.MAX_VALUE);
    byte[] sample = parseSample(fields[2]);
    int status = (int) parseDecimal(fields[3], "status", Integer.MAX_VALUE);
    String name = fields[4];
    if (!name.equals(nameOf(status))) {
      throw new MalformedRecordException(
          "status " + status + " is named \"" + name + "\" instead of \"" + nameOf(status) + "\"");
    }
    return new DataRecord(sequence, timeMs, sample, status, name);
  }

  /** The record as one readable log line. */
  public String describe() {
    StringBuilder text = new StringBuilder();
    text.append(String.format("record %5d  %s  status %d %-11s  sample", sequence,
        Instant.ofEpochMilli(timeMs), status, statusName));
    for (int i = 0; i < 8; i++) {
      text.append(String.format(" %02x", sample[i] & 0xff));
    }
    return text.append(" ...").toString();
  }

  /** A decimal without sign and without leading zeros, at most max. */
  private static long parseDecimal(String field, String what, long max)
      throws MalformedRecordException {
    boolean digitsOnly = !field.isEmpty() && field.chars().allMatch(c -> c >= '0' && c <= '9');
    if (!digitsOnly || (field.length() > 1 && field.charAt(0) == '0') || field.length() > 19) {
      throw new MalformedRecordException(what + " \"" + field + "\" is not a plain decimal");
    }
    long value = Long.parseUnsignedLong(field);
    if (value < 0 || value > max) {
      throw new MalformedRecordException(what + " " + field + " is out of range");
    }
    return value;
  }

  /** 64 groups of a space and two lowercase hexadecimal digits. */
  private static byte[] parseSample(String field) throws MalformedRecordException {
    if (field.length() != 3 * SAMPLE_SIZE) {
      throw new MalformedRecordException(
          "sample has " + field.length() + " characters instead of " + 3 * SAMPLE_SIZE);
    }
    byte[] sample = new byte[SAMPLE_SIZE];
    for (int i = 0; i < SAMPLE_SIZE; i++) {
      int at = 3 * i;
      int high = hexDigit(field.charAt(at + 1));
      int low = hexDigit(field.charAt(at + 2));
      if (field.charAt(at) != ' ' || high < 0 || low < 0) {
        throw new MalformedRecordException(
            "sample byte " + i + " is \"" + field.substring(at, at + 3) + "\"");
      }
      sample[i] = (byte) (high << 4 | low);
    }
    return sample;
  }

  private static int hexDigit(char c) {
    return "0123456789abcdef".indexOf(c);
  }
}
