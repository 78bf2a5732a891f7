#include "driveicons/ReaderModels.h"

const ReaderModel ReaderModelTable[ReaderModelCount] = {
    {"KA Media", "QarnIcons.dll,0", "LNK   QX-KA Slot", "Disk&Ven_Qarn&Prod_LNK___QX-KA_Slot"},
    {"KB Media", "QarnIcons.dll,3", "LNK   QX-KB Slot", "Disk&Ven_Qarn&Prod_LNK___QX-KB_Slot"},
    {"KB/KC", "QarnIcons.dll,3", "LNK   QX-KC/KB  ", "Disk&Ven_Qarn&Prod_LNK___QX-KC/KB"},
    {"KD Media", "QarnIcons.dll,1", "LNK   QX-KD Slot", "Disk&Ven_Qarn&Prod_LNK___QX-KD_Slot"},
    {"KEE/KF", "QarnIcons.dll,4", "LNK   QX-KF Slot", "Disk&Ven_Qarn&Prod_LNK___QX-KF_Slot"},
    {"KA Media", "QarnIcons.dll,0", "KA Slot Module  ", "Disk&Ven_Qarn&Prod_KA_Slot_Module"},
    {"KB Media", "QarnIcons.dll,3", "KB Slot Module  ", "Disk&Ven_Qarn&Prod_KB_Slot_Module"},
    {"KB/KC", "QarnIcons.dll,3", "KC/KB   Module  ", "Disk&Ven_Qarn&Prod_KC/KB___Module"},
    {"KC Media", "QarnIcons.dll,5", "KC Slot Module  ", "Disk&Ven_Qarn&Prod_KC_Slot_Module"},
    {"KD Media", "QarnIcons.dll,1", "KD Slot Module  ", "Disk&Ven_Qarn&Prod_KD_Slot_Module"},
    {"KF Card", "QarnIcons.dll,4", "KF Slot Module  ", "Disk&Ven_Qarn&Prod_KF_Slot_Module"},
    {"KEE/KF", "QarnIcons.dll,4", "KEE/KF  Module  ", "Disk&Ven_Qarn&Prod_KEE/KF__Module"},
};
