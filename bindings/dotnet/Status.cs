// The result codes of the library by name, and the two key types.

using System;

namespace MifareZub
{
    /// <summary>
    /// Result codes of the library. Every export but <c>ErrMsg</c> returns one;
    /// 1 to 255 are the reader's status byte for a card command. Each name is the
    /// C header's (<c>MZ_STATUS_CARD_ERROR</c> is <see cref="CardError"/>), and
    /// <see cref="Messages.Description"/> gives its English description.
    /// </summary>
    public enum Status
    {
        /// <summary>Success.</summary>
        Ok = 0,
        /// <summary>No card answers, or the sector is not authenticated; also a refused LED level.</summary>
        NoCard = 1,
        /// <summary>CRC error in the exchange with the card.</summary>
        CrcError = 2,
        /// <summary>The value of an increment or decrement overflowed.</summary>
        ValueOverflow = 3,
        /// <summary>Wrong key (or a key slot that was never loaded).</summary>
        WrongKey = 4,
        /// <summary>Parity error in the exchange with the card.</summary>
        ParityError = 5,
        /// <summary>The exchange with the card failed.</summary>
        CardError = 6,
        /// <summary>Invalid serial number.</summary>
        InvalidSerial = 8,
        /// <summary>The sector's access conditions forbid the operation with that key.</summary>
        NoPermission = 16,
        /// <summary>Wrong bit count in the exchange with the card.</summary>
        BitCountError = 17,
        /// <summary>Wrong byte count in the exchange with the card.</summary>
        ByteCountError = 18,
        /// <summary>Waiting for DV.</summary>
        Waiting = 19,
        /// <summary>Nothing to transfer, or the value was not stored.</summary>
        ValueStoreError = 20,
        /// <summary>Write failed, or the block is outside the card.</summary>
        WriteError = 21,
        /// <summary>Increment failed: not a value block.</summary>
        IncrementError = 22,
        /// <summary>Decrement or restore failed: not a value block.</summary>
        DecrementError = 23,
        /// <summary>Read failed, or the block is outside the card.</summary>
        ReadError = 24,
        /// <summary>Poll.</summary>
        Poll = 32,
        /// <summary>The reader does not know the command (or refused its key type).</summary>
        NotImplemented = 255,
        /// <summary>-1: no open link, or <c>OpenComm</c> found no reader at the index.</summary>
        NoLink = -1,
        /// <summary>-2: the exchange failed: no reply within 100 ms, a damaged or foreign reply, or a refused request.</summary>
        ExchangeFailed = -2,

        // The names of earlier releases, kept for their callers.

        /// <summary>The earlier name of <see cref="CardError"/>.</summary>
        [Obsolete("Use Status.CardError, the header's name")]
        CommunicationError = CardError,
        /// <summary>The earlier name of <see cref="InvalidSerial"/>.</summary>
        [Obsolete("Use Status.InvalidSerial, the header's name")]
        InvalidChip = InvalidSerial,
        /// <summary>The earlier name of <see cref="NoPermission"/>.</summary>
        [Obsolete("Use Status.NoPermission, the header's name")]
        AccessDenied = NoPermission,
        /// <summary>The earlier name of <see cref="Waiting"/>.</summary>
        [Obsolete("Use Status.Waiting, the header's name")]
        WaitingForDV = Waiting,
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
