// What Reader.SelectCard found: ATQA, serial, UID and SAK.

using System;

namespace MifareZub
{
    /// <summary>A card found and selected by <see cref="Reader.SelectCard"/>.</summary>
    public sealed class Card
    {
        readonly byte[] serial;

        /// <summary>Creates the record of a selected card.</summary>
        /// <param name="atqa">The answer to request.</param>
        /// <param name="serial">The 5-byte serial: 4 UID bytes and their check byte.</param>
        /// <param name="sak">The select answer.</param>
        public Card(int atqa, byte[] serial, int sak)
        {
            Args.Data("serial", serial, 5);
            Atqa = atqa;
            this.serial = (byte[])serial.Clone();
            Sak = sak;
        }

        /// <summary>Answer to request, first byte most significant (0x0400 for a 1K card, 0x0200 for a 4K card).</summary>
        public int Atqa { get; private set; }

        /// <summary>The serial as anticollision gave it: the 4 UID bytes and their check byte (a copy).</summary>
        public byte[] Serial { get { return (byte[])serial.Clone(); } }

        /// <summary>The card's 4-byte UID (a copy).</summary>
        public byte[] Uid
        {
            get
            {
                var uid = new byte[4];
                Array.Copy(serial, uid, 4);
                return uid;
            }
        }

        /// <summary>Select answer (0x08 for a 1K card, 0x18 for a 4K card).</summary>
        public int Sak { get; private set; }

        /// <summary>The 5-byte serial of a 4-byte UID: the UID and its check byte (the XOR of the four).</summary>
        /// <param name="uid">The 4-byte UID.</param>
        /// <exception cref="ArgumentException"><paramref name="uid"/> is null or not 4 bytes.</exception>
        public static byte[] SerialOf(byte[] uid)
        {
            Args.Data("uid", uid, 4);
            return new[] { uid[0], uid[1], uid[2], uid[3], (byte)(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]) };
        }

        /// <summary>The UID, ATQA and SAK in hex.</summary>
        public override string ToString()
        {
            return "UID " + Hex.Of(Uid) + ", ATQA " + Atqa.ToString("X4") + ", SAK " + Sak.ToString("X2");
        }
    }
}
