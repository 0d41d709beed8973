// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/form1.h"

namespace quorivo {

using toolkit::ControlRow;
using toolkit::FontSpec;
using toolkit::Kind;

namespace {
QString t(const char *utf8) { return QString::fromUtf8(utf8); }
const FontSpec Default{};
const FontSpec Bookman{QStringLiteral("Bookman Old Style"), 8.25, 300};
} // namespace

toolkit::WindowDesign form1Design()
{
    return {
        t("Server Disconnesso"),
        {9510, 6690},
        Default,
        {
            // Connection area
            {t("Frame1"), Kind::Frame, {}, {}, {}, {0, 0, 4935, 2295}, 2, true, Default},
            {t("ListOPCServers"), Kind::Button, {}, t("Lista degli OPC Servers"),
             t("Visualizza la lista dei Servers disponibili "), {120, 240, 2892, 255}, 1, true, Bookman},
            {t("OPCServerList"), Kind::ListBox, {}, {},
             t("Seleziona un OPC Server e premi il pulsante \"Connetti\""), {120, 660, 2892, 450}, 23, true, Default},
            {t("OPCServerName"), Kind::TextBox, {}, t(" "), {}, {120, 1470, 2892, 285}, 22, true, Default},
            {t("OPCServerConnect"), Kind::Button, {}, t("Connetti"), t("Effettua la connessione con il server selezionato"),
             {120, 1920, 2892, 285}, 0, true, Bookman},
            {t("Label3"), Kind::Label, t("Frame1"), t("   IP Server"),
             t("Indirizzo fisico o logico per effettuare una connessione remota, per la connessione locale lasciare vuoto"),
             {3240, 360, 1335, 255}, 16, true, Bookman},
            {t("Text2"), Kind::TextBox, t("Frame1"), {}, {}, {3120, 600, 1695, 288}, 15, true, Default},
            {t("Command6"), Kind::Button, t("Frame1"), t("Proprietà"), t("Visualizza le proprietà del Server corrente"),
             {3120, 960, 1695, 375}, 18, false, Bookman},
            {t("DisconnectFromServer"), Kind::Button, t("Frame1"), t("Disconnessione"), t("Disconnette il server corrente"),
             {3120, 1440, 1695, 375}, 3, false, Bookman},
            {t("Command5"), Kind::Button, {}, t("Esci"), {}, {3120, 1920, 1695, 285}, 17, true, Bookman},
            // Group creation area
            {t("r"), Kind::Frame, {}, t("Aggiungi gruppi al Server"), {}, {5160, 0, 4215, 1812}, 4, true, Bookman},
            {t("Label1"), Kind::LabelRight, t("r"), t("Nome Gruppo"), {}, {480, 240, 1215, 255}, 5, true, Bookman},
            {t("OPCGroupName"), Kind::TextBox, t("r"), t("Gruppo1"), t("Nome del gruppo, deve essere unico"),
             {2400, 240, 1572, 285}, 6, false, Default},
            {t("Label5"), Kind::Label, t("r"), t("Update Rate (ms)"), {}, {480, 600, 1692, 252}, 7, true, Bookman},
            {t("GroupUpdateRate"), Kind::TextBox, t("r"), t("100"),
             t("Frequenza di refresh per l'aggiornamento del valore degli item "), {2400, 600, 1212, 285}, 8, false, Default},
            {t("AddOPCGroup"), Kind::Button, t("r"), t("Aggiungi "), t("Aggiunge un gruppo"), {2400, 1200, 1572, 255}, 9,
             false, Bookman},
            // Browse area
            {t("Frame2"), Kind::Frame, {}, {}, {}, {120, 2400, 5532, 4215}, 20, true, Default},
            {t("Command1"), Kind::Button, {}, t("Espolora risorse"), t("Restituisce l'elenco degli item del server corrente"),
             {360, 2760, 2652, 255}, 10, false, Bookman},
            {t("TreeView1"), Kind::TreeView, {}, {}, {}, {360, 3120, 2652, 2532}, 24, true, Default},
            {t("ListView1"), Kind::ListView, {}, {}, {}, {3120, 3120, 2412, 2532}, 25, true, Default},
            {t("Command2"), Kind::Button, {}, t("Aggiungi Item"), t("Aggiunge un item al gruppo selezionato"),
             {360, 5760, 5172, 255}, 12, false, Default},
            {t("Text1"), Kind::TextBox, {}, t(" "), {}, {360, 6120, 5172, 372}, 11, true, Default},
            // Groups and items area
            {t("Label4"), Kind::Label, {}, t("Elenco Gruppi"), {}, {6000, 2400, 1212, 252}, 19, true, Bookman},
            {t("Label2"), Kind::Label, {}, t("Items del gruppo"), {}, {7800, 2400, 2292, 252}, 14, true, Bookman},
            {t("Frame3"), Kind::Frame, {}, {}, {}, {5760, 2640, 3612, 3975}, 21, true, Default},
            {t("List2"), Kind::ListBox, {}, {}, {}, {5880, 3120, 1455, 2205}, 13, true, Default},
            {t("ListView2"), Kind::ListView, {}, {}, {}, {7440, 3120, 1812, 2388}, 26, true, Default},
            {t("Command4"), Kind::Button, {}, t("Elimina  gruppo "), t("Elimina il gruppo selezionato"),
             {5880, 5760, 1452, 255}, 30, false, Default},
            {t("Command8"), Kind::Button, {}, t("Modifica Rate"), {}, {5880, 6120, 1452, 255}, 27, false, Default},
            {t("Command3"), Kind::Button, {}, t("Proprietà Items"), t("Proprietà degli Item"), {7440, 5760, 1812, 255}, 29,
             false, Default},
            {t("Command7"), Kind::Button, {}, t("Elimina Item"), {}, {7440, 6120, 1812, 255}, 28, false, Default},
        },
    };
}

} // namespace quorivo
