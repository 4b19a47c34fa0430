package pyrel.child;

/** A line from the bridge that is not a well-formed data record, or breaks the record stream. */
public class MalformedRecordException extends Exception {
  private static final long serialVersionUID = 1L;

  public MalformedRecordException(String reason) {
    super(reason);
  }
}
