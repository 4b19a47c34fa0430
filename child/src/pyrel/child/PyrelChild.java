package pyrel.child;

import java.io.BufferedInputStream;
import java.io.ByteArrayOutputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;

/**
 * The reference child of the bridge. The bridge starts it as
 * "java -jar pyrel.jar -driver <driver class>" in the bridge's folder, writes one data record a
 * second to its standard input, and ends when this program prints "$EXIT$".
 *
 * <p>Environment:
 * PYREL_CHILD_LOG     file that receives one readable line per record (default: standard error,
 *                     which the bridge reads and discards);
 * PYREL_CHILD_RECORDS send "$EXIT$" after this many records;
 * PYREL_CHILD_SECONDS send "$EXIT$" after this many seconds.
 *
 * <p>Exit status: 0 after "$EXIT$" or when the bridge's output ends, 2 after a malformed
 * record (reported in the log, then "$EXIT$" is sent as well), 64 for a wrong command line.
 */
public final class PyrelChild {
  private static final String EXIT_COMMAND = "$EXIT$";

  private final PrintStream log;
  private final long recordLimit;
  private int received;
  private DataRecord previous;

  private PyrelChild(PrintStream log, long recordLimit) {
    this.log = log;
    this.recordLimit = recordLimit;
  }

  public static void main(String[] args) throws IOException {
    if (args.length != 2 || !args[0].equals("-driver")) {
      System.err.println("usage: java -jar pyrel.jar -driver <driver class>");
      System.exit(64);
    }
    String logPath = System.getenv("PYREL_CHILD_LOG");
    PrintStream log = logPath == null || logPath.isEmpty()
        ? System.err
        : new PrintStream(new FileOutputStream(logPath, true), true, StandardCharsets.UTF_8);
    long records = limit("PYREL_CHILD_RECORDS");
    long seconds = limit("PYREL_CHILD_SECONDS");

    log.println("child " + ProcessHandle.current().pid() + " started, driver " + args[1]);
    if (seconds > 0) {
      Thread timer = new Thread(() -> {
        try {
          Thread.sleep(seconds * 1000);
        } catch (InterruptedException e) {
          return;
        }
        finish(log, seconds + " s have passed", 0);
      });
      timer.setDaemon(true);
      timer.start();
    }
    new PyrelChild(log, records).serve(new BufferedInputStream(System.in));
  }

  /** Reads records until a limit is reached, a record is malformed, or the input ends. */
  private void serve(InputStream in) throws IOException {
    String line;
    while ((line = readLine(in)) != null) {
      try {
        accept(line);
      } catch (MalformedRecordException e) {
        log.println("ERROR: malformed record after " + received + " good ones: "
            + e.getMessage() + ": " + line.strip());
        finish(log, "malformed record", 2);
      }
      if (recordLimit > 0 && received >= recordLimit) {
        finish(log, received + " records received", 0);
      }
    }
    log.println("child: the bridge's output has ended after " + received + " records");
    System.exit(0);
  }

  /** Checks one record on its own and against the one before it, and logs it. */
  private void accept(String line) throws MalformedRecordException {
    if (!line.endsWith("\r")) {
      throw new MalformedRecordException("line does not end with CR LF");
    }
    DataRecord record = DataRecord.parse(line.substring(0, line.length() - 1));
    int expectedSequence = previous == null ? 0 : previous.sequence() + 1;
    if (record.sequence() != expectedSequence) {
      throw new MalformedRecordException(
          "sequence number " + record.sequence() + " instead of " + expectedSequence);
    }
    // Ticks without a record are allowed: stamps lie a whole number of seconds apart.
    if (previous != null) {
      long step = record.timeMs() - previous.timeMs();
      if (step < 1000 || step % 1000 != 0) {
        throw new MalformedRecordException("time stamp " + step + " ms after the previous one");
      }
    }
    previous = record;
    received++;
    log.println(record.describe());
  }

  /** Asks the bridge to end and exits. */
  private static synchronized void finish(PrintStream log, String why, int status) {
    log.println("child: " + why + ", sending " + EXIT_COMMAND);
    System.out.print(EXIT_COMMAND + "\n");
    System.out.flush();
    System.exit(status);
  }

  /** One line up to LF (the LF removed, a CR before it kept); null at the end of the input. */
  private static String readLine(InputStream in) throws IOException {
    ByteArrayOutputStream line = new ByteArrayOutputStream(256);
    int b;
    while ((b = in.read()) != -1 && b != '\n') {
      line.write(b);
    }
    if (b == -1 && line.size() == 0) {
      return null;
    }
    return line.toString(StandardCharsets.ISO_8859_1);
  }

  private static long limit(String variable) {
    String value = System.getenv(variable);
    if (value == null || value.isEmpty()) {
      return 0;
    }
    try {
      return Long.parseLong(value);
    } catch (NumberFormatException e) {
      System.err.println(variable + " is not a number: " + value);
      System.exit(64);
      return 0;
    }
  }
}
