// The result codes of the library by name, and the two key types.

namespace MifareZub
{
    /// <summary>
    /// Result codes of the library. Every export but <c>ErrMsg</c> returns one;
    /// 1 to 255 are the reader's status byte for a card command.
    /// </summary>
    public enum Status
    {
        /// <summary>Success.</summary>
        Ok = 0,
        /// <summary>No card, or not authenticated for that block; also a refused LED level.</summary>
        NoCard = 1,
        /// <summary>Card communication CRC error.</summary>
        CrcError = 2,
        /// <summary>The value of an increment or decrement overflowed.</summary>
        ValueOverflow = 3,
        /// <summary>Wrong key (or a key slot that was never loaded).</summary>
        WrongKey = 4,
        /// <summary>Card communication parity error.</summary>
        ParityError = 5,
        /// <summary>Card communication error.</summary>
        CommunicationError = 6,
        /// <summary>Invalid chip number.</summary>
        InvalidChip = 8,
        /// <summary>The sector's access conditions forbid the operation with that key.</summary>
        AccessDenied = 16,
        /// <summary>Card communication bit-count error.</summary>
        BitCountError = 17,
        /// <summary>Card communication byte-count error.</summary>
        ByteCountError = 18,
        /// <summary>Waiting for DV.</summary>
        WaitingForDV = 19,
        /// <summary>Value store error (a transfer with nothing to transfer).</summary>
        ValueStoreError = 20,
        /// <summary>Card write error.</summary>
        WriteError = 21,
        /// <summary>Increment error (the block is not a value block).</summary>
        IncrementError = 22,
        /// <summary>Decrement or restore error (the block is not a value block).</summary>
        DecrementError = 23,
        /// <summary>Card read error.</summary>
        ReadError = 24,
        /// <summary>Poll.</summary>
        Poll = 32,
        /// <summary>The reader does not implement the function (or refused its key type).</summary>
        NotImplemented = 255,
        /// <summary>-1: no open link, or <c>OpenComm</c> found no reader at the index.</summary>
        NoLink = -1,
        /// <summary>-2: the exchange failed: no reply within 100 ms, a damaged or foreign reply, or a refused request.</summary>
        ExchangeFailed = -2,
    }

    /// <summary>Key types for <see cref="Reader.LoadKey"/> and <see cref="Reader.Authenticate"/>.</summary>
    public enum KeyType
    {
        /// <summary>Key A of a sector.</summary>
        A = 0,
        /// <summary>Key B of a sector.</summary>
        B = 1,
    }
}
